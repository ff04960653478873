#include "window/OnePlayer.h"

#include "logic/FileNames.h"
#include "window/PlayerForms.h"

#include <QDBusAbstractAdaptor>
#include <QDBusMetaType>
#include <QTimer>

namespace {

const QString kBusName = QStringLiteral("org.mpris.MediaPlayer2.sorvano");
const QString kObjectPath = QStringLiteral("/sorvano/HandOver");
const QString kInterface = QStringLiteral("sorvano.HandOver");
const QString kRefused = QStringLiteral("sorvano.HandOver.Error.Decoding");
const QString kEnded = QStringLiteral("sorvano.HandOver.Error.Ended");
// A running player answers at once, or once its window is made; one that
// takes longer is taken to be hung.
constexpr int kAnswerTimeoutMs = 20000;
// A running player that goes away while it is asked leaves the name free:
// the start then tries to take it, a few times at most.
constexpr int kAttempts = 3;

class HandOverAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "sorvano.HandOver")

public:
    explicit HandOverAdaptor(OnePlayer *owner) : QDBusAbstractAdaptor(owner), owner_(owner) {}

public slots:
    // File names are bytes, any but NUL: a string could not carry those that
    // are not UTF-8.
    void Open(const QList<QByteArray> &paths, const QDBusMessage &message)
    {
        owner_->request(paths, message);
    }

private:
    OnePlayer *owner_;
};

} // namespace

OnePlayer::OnePlayer(QDBusConnection bus, QObject *parent) : QObject(parent), bus_(std::move(bus))
{
    qDBusRegisterMetaType<QList<QByteArray>>();
    new HandOverAdaptor(this);
}

OnePlayer::~OnePlayer()
{
    for (const Waiting &w : std::exchange(waiting_, {}))
        bus_.send(w.message.createErrorReply(kEnded, QStringLiteral("The player has ended.")));
}

OnePlayer::Start OnePlayer::claimOrHandOver(const QList<QByteArray> &paths, QString *why)
{
    if (!bus_.isConnected())
        return Start::OwnWindow;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        // The object is there before the name is ours, so a start that finds
        // the name taken always reaches it; the bus gives the name to one
        // start only, however many begin at once.
        if (!bus_.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors))
            return Start::OwnWindow;
        if (bus_.registerService(kBusName))
            return Start::OwnWindow;
        bus_.unregisterObject(kObjectPath);

        QDBusMessage call = QDBusMessage::createMethodCall(kBusName, kObjectPath, kInterface,
                                                           QStringLiteral("Open"));
        call << QVariant::fromValue(paths);
        const QDBusMessage reply = bus_.call(call, QDBus::Block, kAnswerTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return Start::HandedOver;
        if (reply.errorName() == kRefused) {
            *why = reply.errorMessage();
            return Start::Refused;
        }
        if (reply.errorName() != kEnded &&
            reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") &&
            reply.errorName() != QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner")) {
            *why = QStringLiteral("The running Sorvano does not answer (%1); this one opens a "
                                  "window of its own.")
                       .arg(reply.errorMessage());
            return Start::Unanswered;
        }
    }
    *why = QStringLiteral("Sorvano players keep starting and ending; this one opens a window of "
                          "its own.");
    return Start::Unanswered;
}

void OnePlayer::attach(TPlayerForm &form)
{
    form_ = &form;
    for (const Waiting &w : std::exchange(waiting_, {}))
        answer(w.paths, w.message);
}

void OnePlayer::request(const QList<QByteArray> &paths, const QDBusMessage &message)
{
    message.setDelayedReply(true);
    if (!form_) {
        waiting_.append({paths, message});
        return;
    }
    answer(paths, message);
}

void OnePlayer::answer(const QList<QByteArray> &paths, const QDBusMessage &message)
{
    // The media controls' refusal: no request is taken during a decode. A
    // start without files only asks for the window, which is no request.
    if (!paths.isEmpty() && form_->Decoding()) {
        bus_.send(message.createErrorReply(
            kRefused, QStringLiteral("The running Sorvano is decoding or verifying a file and "
                                     "takes no files until it is done.")));
        return;
    }
    bus_.send(message.createReply());
    // Once the caller has its answer: adding may wait in message boxes.
    QTimer::singleShot(0, this, [this, paths] { deliver(paths); });
}

void OnePlayer::deliver(const QList<QByteArray> &paths)
{
    if (!form_)
        return;
    // Files accepted just before a decode began wait for its end.
    if (!paths.isEmpty() && form_->Decoding()) {
        QTimer::singleShot(200, this, [this, paths] { deliver(paths); });
        return;
    }
    form_->MediaPlayerRaise();
    if (!paths.isEmpty())
        form_->OpenFiles(paths);
}

#include "OnePlayer.moc"
