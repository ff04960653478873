// The window on the real engine against a private PulseAudio server that is
// absent at start-up, killed during playback, or loses its only sink: the
// window never hangs and later commands answer with their messages.
#include "Manifest.h"
#include "RealWindow.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QToolButton>
#include <QtTest>

#include <csignal>

namespace {

const QString kTone = fixturePath("s16-stereo-44k-c2000.ape");
const QString kTiny = fixturePath("s16-stereo-44k-tiny-c2000.ape");

// A PulseAudio server of this test's own: its socket, runtime folder and home
// live in a temporary folder; one null sink and no fallback sink.
class PrivatePulse
{
public:
    PrivatePulse() : socket_(root_.filePath("native"))
    {
        QDir(root_.path()).mkdir("home");
        env_ = QProcessEnvironment::systemEnvironment();
        env_.insert("XDG_RUNTIME_DIR", root_.path());
        env_.insert("HOME", root_.filePath("home"));
        env_.insert("PULSE_SERVER", "unix:" + socket_);
        env_.remove("DBUS_SESSION_BUS_ADDRESS");
    }
    ~PrivatePulse() { kill(); }

    QString server() const { return "unix:" + socket_; }

    bool start()
    {
        QFile::remove(socket_);
        process_.setProcessEnvironment(env_);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start("pulseaudio",
                       {"-n", "--daemonize=no", "--use-pid-file=no", "--exit-idle-time=-1",
                        "--disallow-exit", "--disable-shm=yes", "--log-target=stderr",
                        "--log-level=error", "-L",
                        "module-native-protocol-unix auth-anonymous=1 socket=" + socket_, "-L",
                        "module-null-sink sink_name=sorvano_null rate=44100 channels=2"});
        if (!process_.waitForStarted(10000))
            return false;
        for (int i = 0; i < 200 && !QFileInfo::exists(socket_); ++i)
            QThread::msleep(50);
        return QFileInfo::exists(socket_);
    }

    void kill()
    {
        if (process_.state() == QProcess::NotRunning)
            return;
        ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
        process_.waitForFinished(10000);
    }

    // The device goes away: the server is killed, or its only sink removed.
    bool loseDevice(bool killServer)
    {
        if (killServer) {
            kill();
            return true;
        }
        return pactl({"unload-module", "module-null-sink"});
    }
    bool restoreDevice(bool killServer)
    {
        if (killServer)
            return start();
        return pactl({"load-module", "module-null-sink", "sink_name=sorvano_null", "rate=44100",
                      "channels=2"});
    }
    // pactl against this server.
    bool pactl(const QStringList &args)
    {
        QProcess p;
        p.setProcessEnvironment(env_);
        p.start("pactl", args);
        return p.waitForFinished(10000) && p.exitStatus() == QProcess::NormalExit &&
               p.exitCode() == 0;
    }

private:
    QTemporaryDir root_;
    QString socket_;
    QProcessEnvironment env_;
    QProcess process_;
};

} // namespace

class SoundServerTest : public QObject, private RealWindow
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void absentAtStartUp();
    void lostDuringPlayback_data();
    void lostDuringPlayback();
    void playsOnWhenTheDeviceReturns_data() { lostDuringPlayback_data(); }
    void playsOnWhenTheDeviceReturns();

private:
    void createWindow(const QString &server)
    {
        qputenv("SDL_AUDIODRIVER", "pulseaudio");
        qputenv("PULSE_SERVER", server.toUtf8());
        showWindow();
    }

    QTemporaryDir dir;
};

void SoundServerTest::initTestCase()
{
    if (QStandardPaths::findExecutable("pulseaudio").isEmpty() ||
        QStandardPaths::findExecutable("pactl").isEmpty())
        QFAIL("pulseaudio and pactl are needed (scripts/install-deps.sh test)");
    // No client autospawns a server of its own, nor finds a desktop one.
    qputenv("PULSE_CLIENTCONFIG", "/dev/null");
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
}

void SoundServerTest::cleanup()
{
    form.reset();
}

// No server: start-up says so, the window opens, and opening a file reports
// that it cannot be loaded.
void SoundServerTest::absentAtStartUp()
{
    createWindow("unix:" + dir.filePath("no-server-here"));
    QCOMPARE(prompts.messageTexts(), QStringList{"Error initializing audio."});
    QVERIFY(form->isVisible());
    open(QStringList{kTone});
    QCOMPARE(prompts.messageTexts().last(), QStringLiteral("Error load the \"%1\".").arg(kTone));
    QCOMPARE(rowCount(), 0);
    QVERIFY(form->FormCloseQuery());
}

void SoundServerTest::lostDuringPlayback_data()
{
    QTest::addColumn<bool>("killServer");
    QTest::newRow("server killed") << true;
    QTest::newRow("sink removed") << false;
}

void SoundServerTest::lostDuringPlayback()
{
    QFETCH(bool, killServer);
    PrivatePulse pulse;
    QVERIFY(pulse.start());
    createWindow(pulse.server());
    QCOMPARE(prompts.messageTexts(), QStringList());
    open(QStringList{kTone, kTiny});
    QCOMPARE(rowCount(), 2);
    select(0);
    form->PlayToolButtonClick();
    QCOMPARE(form->CurrentIndex(), int64_t(0));
    const auto stream = rowStream(0);
    QTRY_VERIFY_WITH_TIMEOUT(engine.ChannelGetPosition(stream, audio::kPosByte) > 0, 5000);

    QVERIFY(pulse.loseDevice(killServer));

    // The window keeps handling events and ticks.
    QElapsedTimer clock;
    clock.start();
    QTest::qWait(1500);
    QVERIFY2(clock.elapsed() < 10000, "the window stopped handling events");

    // Play answers with its message while there is nothing to play on; Stop
    // and Decode go on working.
    select(1);
    form->PlayToolButtonClick();
    QCOMPARE(prompts.messageTexts(),
             QStringList{QStringLiteral("Error playing the file \"%1\".").arg(kTiny)});
    QCOMPARE(form->CurrentIndex(), int64_t(-1));
    QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano"));
    form->StopToolButtonClick();
    const QString wav = dir.filePath(killServer ? "killed.wav" : "sink-removed.wav");
    prompts.saveAnswers.push_back(wav);
    form->findChild<QToolButton *>("DecodeToolButton")->click();
    QCOMPARE(prompts.messageTexts().last(),
             QStringLiteral("Done, the output file is \"%1\".").arg(wav));
    QCOMPARE(QFileInfo(wav).size(), 44 + 368);

    // Once there is a device again, Play plays again.
    QVERIFY(pulse.restoreDevice(killServer));
    prompts.messages.clear();
    select(0);
    form->PlayToolButtonClick();
    QCOMPARE(prompts.messageTexts(), QStringList());
    QCOMPARE(form->CurrentIndex(), int64_t(0));
    QTRY_VERIFY_WITH_TIMEOUT(engine.ChannelGetPosition(stream, audio::kPosByte) > 0, 5000);
    form.reset();
}

// The server restarted, or the sink back: the row that was playing goes on
// from where it was heard, with nothing for the user to do.
void SoundServerTest::playsOnWhenTheDeviceReturns()
{
    QFETCH(bool, killServer);
    PrivatePulse pulse;
    QVERIFY(pulse.start());
    createWindow(pulse.server());
    open(QStringList{kTone});
    select(0);
    form->PlayToolButtonClick();
    const auto stream = rowStream(0);
    const int64_t length = engine.ChannelGetLength(stream, audio::kPosByte);
    // Far enough in that a start from the beginning would show.
    QTRY_VERIFY_WITH_TIMEOUT(engine.ChannelGetPosition(stream, audio::kPosByte) > length / 3, 5000);

    QVERIFY(pulse.loseDevice(killServer));
    QTest::qWait(1500);
    const int64_t heard = engine.ChannelGetPosition(stream, audio::kPosByte);
    QTest::qWait(1000);
    QCOMPARE(engine.ChannelGetPosition(stream, audio::kPosByte), heard);
    QVERIFY(heard < length);

    QVERIFY(pulse.restoreDevice(killServer));
    QTRY_VERIFY_WITH_TIMEOUT(engine.ChannelGetPosition(stream, audio::kPosByte) != heard, 5000);
    QVERIFY(engine.ChannelGetPosition(stream, audio::kPosByte) > heard);
    QCOMPARE(form->CurrentIndex(), int64_t(0));
    QCOMPARE(prompts.messageTexts(), QStringList());
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    SoundServerTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_soundserver.moc"
