// The whole program on a real desktop (run by scripts/desktop-session.sh with
// a window manager, a tray and a PulseAudio null sink): the real engine, the
// real dialogs and message boxes, driven by pointer and key events sent with
// xdotool through the X server. Screenshots go to SORVANO_SHOTS.
#include "Manifest.h"
#include "app/PlayerForms.h"
#include "app/Prompts.h"
#include "audio/Engine.h"

#include <QApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QProcess>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>
#include <QtTest>
#include <functional>
#include <memory>

namespace {

const char *const kPlayed = "s16-stereo-44k-long-c2000.ape";
const char *const kSecond = "s16-stereo-44k-c2000.ape";

bool xdotool(const QStringList &args)
{
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

bool clickAt(QPoint global)
{
    return xdotool({"mousemove", QString::number(global.x()), QString::number(global.y()), "sleep",
                    "0.1", "click", "1"});
}

bool clickWidget(QWidget *widget)
{
    return widget && clickAt(widget->mapToGlobal(widget->rect().center()));
}

QWidget *visibleTopLevel(const char *className)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && qstrcmp(w->metaObject()->className(), className) == 0)
            return w;
    return nullptr;
}

bool viewable(QWidget *window)
{
    if (!window)
        return false;
    QProcess info;
    info.start(QStringLiteral("xwininfo"), {"-id", QString::number(window->winId())});
    info.waitForFinished(5000);
    return info.readAllStandardOutput().contains("IsViewable");
}

QString shotPath(const QString &name)
{
    const QString dir = qEnvironmentVariable("SORVANO_SHOTS");
    if (dir.isEmpty())
        return QString();
    QDir().mkpath(dir);
    return QDir(dir).filePath(name + QStringLiteral(".png"));
}

// A screenshot of one window, or of the whole screen for window 0.
void screenshot(const QString &name, WId window)
{
    const QString path = shotPath(name);
    if (path.isEmpty())
        return;
    // Let the last changes reach the screen first.
    QTest::qWait(300);
    const QString id = window ? QString::number(window) : QStringLiteral("root");
    QProcess::execute(QStringLiteral("import"), {"-window", id, path});
}

// Runs step each 100 ms, from inside whatever event loop is running (a
// dialog's, a message box's), until it returns true or the test ends.
class Watcher : public QObject
{
public:
    explicit Watcher(std::function<bool()> step) : step_(std::move(step))
    {
        timer_.setInterval(100);
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (done_)
                return;
            done_ = step_();
            if (done_)
                timer_.stop();
        });
        timer_.start();
    }
    bool done() const { return done_; }

private:
    std::function<bool()> step_;
    QTimer timer_;
    bool done_ = false;
};

// The active file dialog, once it can take keys.
QFileDialog *activeFileDialog()
{
    auto *dialog = qobject_cast<QFileDialog *>(QApplication::activeModalWidget());
    return dialog && dialog->isActiveWindow() ? dialog : nullptr;
}

// Types text into the focused field of the active dialog and confirms it.
std::unique_ptr<Watcher> answerFileDialog(const QString &text)
{
    auto typed = std::make_shared<bool>(false);
    return std::make_unique<Watcher>([text, typed] {
        QFileDialog *dialog = activeFileDialog();
        if (!dialog)
            return false;
        if (!*typed) {
            if (!text.isEmpty()) {
                xdotool({"key", "ctrl+a"});
                xdotool({"type", "--delay", "10", text});
            }
            *typed = true;
        }
        // The completer's popup may take the first Return.
        xdotool({"key", "Return"});
        return false;
    });
}

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

} // namespace

class DesktopTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void wholeProgram();

private:
    template <typename T> T *child(const char *name) const
    {
        return form->findChild<T *>(QString::fromLatin1(name));
    }
    void openFile(const QString &path);

    QTemporaryDir dir;
    Manifest manifest;
    std::unique_ptr<audio::Engine> engine;
    std::unique_ptr<DesktopPrompts> prompts;
    std::unique_ptr<TPlayerForm> form;
};

void DesktopTest::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    QGuiApplication::setDesktopFileName(QStringLiteral("sorvano"));
    QVERIFY(dir.isValid());
    manifest = Manifest::load(apeFixtureDir() + QStringLiteral("/manifest.tsv"));
    QVERIFY(!manifest.rows.isEmpty());
    for (const char *name : {kPlayed, kSecond})
        QVERIFY(QFile::copy(apeFixtureDir() + '/' + name, dir.filePath(name)));
    QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());
}

void DesktopTest::openFile(const QString &path)
{
    const int before = child<QTreeWidget>("ListView")->topLevelItemCount();
    auto answer = answerFileDialog(path);
    QVERIFY(clickWidget(child<QToolButton>("OpenToolButton")));
    QTRY_COMPARE_WITH_TIMEOUT(child<QTreeWidget>("ListView")->topLevelItemCount(), before + 1,
                              15000);
    QTRY_VERIFY(!QApplication::activeModalWidget());
}

void DesktopTest::wholeProgram()
{
    engine = std::make_unique<audio::Engine>();
    prompts = std::make_unique<DesktopPrompts>();
    form = std::make_unique<TPlayerForm>(*engine, *prompts);
    QVERIFY(!form->StartupAborted());
    form->show();
    QVERIFY(QTest::qWaitForWindowActive(form.get()));
    auto *list = child<QTreeWidget>("ListView");
    auto *bar = child<QSlider>("TrackBar");
    auto *tray = child<QSystemTrayIcon>("TrayIcon");

    // Two files through the open dialog, each typed as a full path.
    openFile(dir.filePath(kPlayed));
    openFile(dir.filePath(kSecond));
    QCOMPARE(list->topLevelItem(0)->text(0), dir.filePath(kPlayed));
    QCOMPARE(list->topLevelItem(1)->text(0), dir.filePath(kSecond));
    QTest::qWait(200);
    screenshot(QStringLiteral("normal"), form->winId());

    // Play the first row: the caption names it and the seek bar moves.
    QVERIFY(clickAt(
        list->viewport()->mapToGlobal(list->visualItemRect(list->topLevelItem(0)).center())));
    QTRY_COMPARE(list->currentItem(), list->topLevelItem(0));
    QVERIFY(clickWidget(child<QToolButton>("PlayToolButton")));
    const QString caption = QStringLiteral("Sorvano [%1]").arg(dir.filePath(kPlayed));
    QTRY_COMPARE(form->windowTitle(), caption);
    QProcess name;
    name.start(QStringLiteral("xdotool"), {"getwindowname", QString::number(form->winId())});
    QVERIFY(name.waitForFinished(5000));
    QCOMPARE(QString::fromUtf8(name.readAllStandardOutput()).trimmed(), caption);
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 3, 5000);
    screenshot(QStringLiteral("playing"), form->winId());

    // Minimise with the window manager: the window leaves, the icon comes.
    QVERIFY(!tray->isVisible());
    QVERIFY(!visibleTopLevel("QSystemTrayIconSys"));
    QVERIFY(xdotool({"windowminimize", QString::number(form->winId())}));
    QTRY_VERIFY(!form->isVisible());
    QTRY_VERIFY(viewable(visibleTopLevel("QSystemTrayIconSys")));
    QTRY_VERIFY(visibleTopLevel("QBalloonTip"));
    QTest::qWait(300);
    screenshot(QStringLiteral("tray-balloon"), 0);
    // Playback goes on in the tray.
    const int inTray = bar->value();
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() > inTray, 3000);

    // A click on the icon brings the window back in front.
    QWidget *icon = visibleTopLevel("QSystemTrayIconSys");
    QVERIFY(xdotool({"mousemove", "--window", QString::number(icon->winId()),
                     QString::number(icon->width() / 2), QString::number(icon->height() - 3),
                     "sleep", "0.1", "click", "1"}));
    QTRY_VERIFY(form->isVisible());
    QTRY_VERIFY(form->isActiveWindow());
    QVERIFY(!form->isMinimized());
    QTRY_VERIFY(!visibleTopLevel("QSystemTrayIconSys"));
    QTest::qWait(600);

    // Decode the playing row through the save dialog, accepting the proposed
    // name, and close the notice at its end.
    const QString wav = dir.filePath(QString::fromLatin1(kPlayed).replace(".ape", ".wav"));
    bool shotTaken = false;
    Watcher decodingShot([&] {
        if (!child<QLabel>("DecodePanel")->isVisible())
            return false;
        screenshot(QStringLiteral("decoding"), form->winId());
        shotTaken = true;
        return true;
    });
    auto save = answerFileDialog(QString());
    QString notice;
    Watcher closeNotice([&] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (box && box->isVisible()) {
                notice = box->text();
                box->button(QMessageBox::Ok) ? clickWidget(box->button(QMessageBox::Ok)) : false;
                return true;
            }
        }
        return false;
    });
    QVERIFY(clickWidget(child<QToolButton>("DecodeToolButton")));
    QTRY_VERIFY_WITH_TIMEOUT(closeNotice.done(), 30000);
    QCOMPARE(notice, QStringLiteral("Done, the output file is \"%1\".").arg(wav));
    QTRY_VERIFY(child<QToolButton>("ExitToolButton")->isEnabled());
    QVERIFY2(shotTaken || shotPath("decoding").isEmpty(), "the progress panel never showed");

    QFile out(wav);
    QVERIFY(out.open(QIODevice::ReadOnly));
    const QByteArray bytes = out.readAll();
    QVERIFY(bytes.size() > 44);
    QString expected;
    for (const auto &row : manifest.rows)
        if (row.value("file") == kPlayed)
            expected = row.value("pcm_md5");
    QVERIFY(!expected.isEmpty());
    QCOMPARE(QString::fromLatin1(md5(bytes.mid(44))), expected);

    // Exit: the window closes.
    QVERIFY(clickWidget(child<QToolButton>("ExitToolButton")));
    QTRY_VERIFY(!form->isVisible());
    form.reset();
}

QTEST_MAIN(DesktopTest)
#include "tst_desktop.moc"
