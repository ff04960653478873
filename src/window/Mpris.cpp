#include "window/Mpris.h"

#include "logic/FileNames.h"
#include "logic/MprisMapping.h"
#include "window/PlayerForms.h"

#include <QCoreApplication>
#include <QDBusAbstractAdaptor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFileInfo>
#include <QUrl>
#include <limits>
#include <utility>

namespace {

const QString kObjectPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kPlayerInterface = QStringLiteral("org.mpris.MediaPlayer2.Player");
const QString kBusName = QStringLiteral("org.mpris.MediaPlayer2.sorvano");
// What the interface names the metadata of "no track" by.
const QString kNoTrack = QStringLiteral("/org/mpris/MediaPlayer2/TrackList/NoTrack");

// Runs a request once the bus has had its answer.
template <typename Request> void later(MprisService *service, Request request)
{
    QMetaObject::invokeMethod(service, request, Qt::QueuedConnection);
}

class RootAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2")
    Q_PROPERTY(bool CanQuit READ yes)
    Q_PROPERTY(bool CanRaise READ yes)
    Q_PROPERTY(bool HasTrackList READ no)
    Q_PROPERTY(QString Identity READ identity)
    Q_PROPERTY(QString DesktopEntry READ desktopEntry)
    Q_PROPERTY(QStringList SupportedUriSchemes READ supportedUriSchemes)
    Q_PROPERTY(QStringList SupportedMimeTypes READ supportedMimeTypes)

public:
    explicit RootAdaptor(MprisService *service) : QDBusAbstractAdaptor(service), service_(service)
    {
    }

    bool yes() const { return true; }
    bool no() const { return false; }
    QString identity() const { return QStringLiteral("Sorvano"); }
    // The installed desktop entry's name, without ".desktop".
    QString desktopEntry() const { return QStringLiteral("sorvano"); }
    QStringList supportedUriSchemes() const { return {QStringLiteral("file")}; }
    QStringList supportedMimeTypes() const
    {
        return {QStringLiteral("audio/x-ape"), QStringLiteral("audio/ape"),
                QStringLiteral("application/x-cue")};
    }

public slots:
    void Raise()
    {
        later(service_, [s = service_] { s->raise(); });
    }
    void Quit()
    {
        later(service_, [s = service_] { s->quit(); });
    }

private:
    MprisService *service_;
};

class PlayerAdaptor : public QDBusAbstractAdaptor
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.mpris.MediaPlayer2.Player")
    Q_PROPERTY(QString PlaybackStatus READ playbackStatus)
    Q_PROPERTY(QString LoopStatus READ loopStatus WRITE setLoopStatus)
    Q_PROPERTY(double Rate READ one WRITE ignore)
    Q_PROPERTY(double MinimumRate READ one)
    Q_PROPERTY(double MaximumRate READ one)
    Q_PROPERTY(double Volume READ one WRITE ignore)
    Q_PROPERTY(QVariantMap Metadata READ metadata)
    Q_PROPERTY(qlonglong Position READ position)
    Q_PROPERTY(bool CanGoNext READ canControlNow)
    Q_PROPERTY(bool CanGoPrevious READ canControlNow)
    Q_PROPERTY(bool CanPlay READ canControlNow)
    Q_PROPERTY(bool CanPause READ canControlNow)
    Q_PROPERTY(bool CanSeek READ canControlNow)
    Q_PROPERTY(bool CanControl READ yes)

public:
    explicit PlayerAdaptor(MprisService *service) : QDBusAbstractAdaptor(service), service_(service)
    {
        connect(service, &MprisService::seeked, this, &PlayerAdaptor::Seeked);
    }

    QString playbackStatus() const { return service_->playbackStatus(); }
    QString loopStatus() const { return service_->loopStatus(); }
    void setLoopStatus(const QString &status) { service_->setLoopStatus(status); }
    // One speed; and the volume stays 1 so the output stays bit-exact.
    double one() const { return 1.0; }
    void ignore(double) {}
    QVariantMap metadata() const { return service_->metadata(); }
    qlonglong position() const { return service_->position(); }
    bool canControlNow() const { return service_->canControlNow(); }
    bool yes() const { return true; }

public slots:
    void Next()
    {
        later(service_, [s = service_] { s->next(); });
    }
    void Previous()
    {
        later(service_, [s = service_] { s->previous(); });
    }
    void Pause()
    {
        later(service_, [s = service_] { s->pause(); });
    }
    void PlayPause()
    {
        later(service_, [s = service_] { s->playPause(); });
    }
    void Stop()
    {
        later(service_, [s = service_] { s->stop(); });
    }
    void Play()
    {
        later(service_, [s = service_] { s->play(); });
    }
    void Seek(qlonglong Offset)
    {
        later(service_, [s = service_, Offset] { s->seek(Offset); });
    }
    void SetPosition(const QDBusObjectPath &TrackId, qlonglong Position)
    {
        later(service_,
              [s = service_, id = TrackId.path(), Position] { s->setPosition(id, Position); });
    }
    void OpenUri(const QString &Uri)
    {
        later(service_, [s = service_, Uri] { s->openUri(Uri); });
    }

signals:
    void Seeked(qlonglong Position);

private:
    MprisService *service_;
};

} // namespace

MprisService::MprisService(TPlayerForm &form, QObject *parent) : QObject(parent), form_(form)
{
    new RootAdaptor(this);
    new PlayerAdaptor(this);
    // A command passes through states that are not worth announcing (Next
    // stops one row before it plays the next): what the window reports is
    // looked at once the event loop is back, or at the end of a request.
    connect(&form, &TPlayerForm::MediaPlayerChanged, this, [this] {
        if (!std::exchange(refreshPending_, true))
            QMetaObject::invokeMethod(this, &MprisService::refresh, Qt::QueuedConnection);
    });
    connect(&form, &TPlayerForm::MediaPlayerSeeked, this,
            [this](qint64) { emit seeked(position()); });
    shown_ = shownProperties();
}

bool MprisService::registerOn(QDBusConnection bus)
{
    if (!bus.isConnected() ||
        !bus.registerObject(kObjectPath, this, QDBusConnection::ExportAdaptors))
        return false;
    QString name = kBusName;
    if (!bus.registerService(name)) {
        name += QStringLiteral(".instance%1").arg(QCoreApplication::applicationPid());
        if (!bus.registerService(name)) {
            bus.unregisterObject(kObjectPath);
            return false;
        }
    }
    busName_ = name;
    connect(this, &MprisService::propertiesChanged, this,
            [bus](const QVariantMap &changed) mutable {
                QDBusMessage signal = QDBusMessage::createSignal(
                    kObjectPath, QStringLiteral("org.freedesktop.DBus.Properties"),
                    QStringLiteral("PropertiesChanged"));
                signal << kPlayerInterface << changed << QStringList();
                bus.send(signal);
            });
    return true;
}

QString MprisService::playbackStatus()
{
    switch (form_.MediaPlayerStatus()) {
    case TPlayerForm::PlaybackStatus::Playing:
        return QStringLiteral("Playing");
    case TPlayerForm::PlaybackStatus::Paused:
        return QStringLiteral("Paused");
    case TPlayerForm::PlaybackStatus::Stopped:
        break;
    }
    return QStringLiteral("Stopped");
}

QString MprisService::loopStatus()
{
    return mpris::loopStatus(form_.LoopTicked());
}

void MprisService::setLoopStatus(const QString &status)
{
    if (const std::optional<bool> ticked = mpris::loopTicked(status))
        form_.MediaPlayerSetLoop(*ticked);
    refresh();
}

QVariantMap MprisService::metadata()
{
    const std::optional<TPlayerForm::MediaTrack> track = form_.MediaPlayerTrack();
    if (!track)
        return {{QStringLiteral("mpris:trackid"), QVariant::fromValue(QDBusObjectPath(kNoTrack))}};
    QVariantMap map =
        mpris::rowMetadata(track->row, track->lengthBytes, track->bytesPerFrame, track->rate);
    map.insert(QStringLiteral("mpris:trackid"),
               QVariant::fromValue(QDBusObjectPath(mpris::trackId(track->stream))));
    if (const QString cover = form_.MediaPlayerCoverFile(*track); !cover.isEmpty())
        map.insert(QStringLiteral("mpris:artUrl"),
                   QString::fromUtf8(QUrl::fromLocalFile(cover).toEncoded()));
    // The row's name as bytes: a name that is not UTF-8 keeps them.
    if (!track->row.track)
        map.insert(QStringLiteral("xesam:url"), fileUri(track->row.nativePath));
    return map;
}

qint64 MprisService::position()
{
    const std::optional<TPlayerForm::MediaTrack> track = form_.MediaPlayerTrack();
    if (!track || !track->current)
        return 0;
    return mpris::microseconds(form_.MediaPlayerPosition(), track->bytesPerFrame, track->rate);
}

bool MprisService::canControlNow()
{
    return form_.MediaPlayerCanControl();
}

void MprisService::play()
{
    form_.MediaPlayerPlay();
    refresh();
}

void MprisService::pause()
{
    form_.MediaPlayerPause();
    refresh();
}

void MprisService::playPause()
{
    form_.MediaPlayerPlayPause();
    refresh();
}

void MprisService::stop()
{
    form_.MediaPlayerStop();
    refresh();
}

void MprisService::next()
{
    form_.MediaPlayerStep(1);
    refresh();
}

void MprisService::previous()
{
    form_.MediaPlayerStep(-1);
    refresh();
}

void MprisService::seek(qint64 offset)
{
    const std::optional<TPlayerForm::MediaTrack> track = form_.MediaPlayerTrack();
    if (!track || !track->current)
        return;
    const qint64 now = position();
    // Far offsets end at the file's ends instead of wrapping round.
    qint64 target = 0;
    if (__builtin_add_overflow(now, offset, &target))
        target = offset > 0 ? std::numeric_limits<qint64>::max() : 0;
    form_.MediaPlayerSeek(
        mpris::bytePosition(target, track->bytesPerFrame, track->rate, track->lengthBytes));
}

void MprisService::setPosition(const QString &trackId, qint64 position)
{
    const std::optional<TPlayerForm::MediaTrack> track = form_.MediaPlayerTrack();
    // A request meant for a track no longer current is stale.
    if (!track || !track->current || mpris::streamOfTrackId(trackId) != track->stream)
        return;
    form_.MediaPlayerSeek(
        mpris::bytePosition(position, track->bytesPerFrame, track->rate, track->lengthBytes));
}

void MprisService::openUri(const QString &uri)
{
    // Percent-encoded bytes: a name need not be UTF-8.
    const std::optional<QByteArray> path = localPathOfUri(uri);
    if (!path)
        return;
    form_.MediaPlayerOpen(*path);
    refresh();
}

void MprisService::raise()
{
    form_.MediaPlayerRaise();
}

void MprisService::quit()
{
    form_.MediaPlayerQuit();
}

QVariantMap MprisService::shownProperties()
{
    const bool can = canControlNow();
    return {
        {QStringLiteral("PlaybackStatus"), playbackStatus()},
        {QStringLiteral("LoopStatus"), loopStatus()},
        {QStringLiteral("Metadata"), metadata()},
        {QStringLiteral("CanGoNext"), can},
        {QStringLiteral("CanGoPrevious"), can},
        {QStringLiteral("CanPlay"), can},
        {QStringLiteral("CanPause"), can},
        {QStringLiteral("CanSeek"), can},
    };
}

void MprisService::refresh()
{
    refreshPending_ = false;
    const QVariantMap now = shownProperties();
    QVariantMap changed;
    for (auto it = now.cbegin(); it != now.cend(); ++it)
        if (shown_.value(it.key()) != it.value())
            changed.insert(it.key(), it.value());
    shown_ = now;
    if (!changed.isEmpty())
        emit propertiesChanged(changed);
}

#include "Mpris.moc"
