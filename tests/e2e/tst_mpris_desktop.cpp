// The real sorvano binary driven as the desktop's media controls drive it:
// through MPRIS on a private session bus, with playerctl (and dbus-send for
// what playerctl has no command for) as the client. Run by
// scripts/desktop-session.sh with openbox, trayer, a PulseAudio null sink and
// a dbus-daemon of its own; the files come on the program's command line.
#include "DesktopDriver.h"
#include "Manifest.h"
#include "TagWriter.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>
#include <QtTest>

namespace {

// 30 s of 16-bit stereo at 44.1 kHz: long enough that nothing ends by itself.
const char *const kFixture = "s16-stereo-44k-long-c2000.ape";
constexpr qint64 kLengthUs = 30000000;
constexpr qint64 kPcmBytes = 5292000;
// What a client prints, as text.
QString runText(const QString &program, const QStringList &args, int *status = nullptr)
{
    return QString::fromUtf8(run(program, args, status, kWait)).trimmed();
}

QString playerctl(const QStringList &args, int *status = nullptr)
{
    return runText(QStringLiteral("playerctl"), QStringList{"-p", "sorvano"} + args, status);
}

// A method of org.mpris.MediaPlayer2 or a property of the player, with
// dbus-send.
bool callRoot(const QString &method)
{
    int status = 0;
    runText(QStringLiteral("dbus-send"),
            {"--session", "--print-reply", "--dest=org.mpris.MediaPlayer2.sorvano",
             "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2." + method},
            &status);
    return status == 0;
}

QString playerProperty(const QString &name)
{
    return runText(QStringLiteral("dbus-send"),
                   {"--session", "--print-reply=literal", "--dest=org.mpris.MediaPlayer2.sorvano",
                    "/org/mpris/MediaPlayer2", "org.freedesktop.DBus.Properties.Get",
                    "string:org.mpris.MediaPlayer2.Player", "string:" + name});
}

QString status()
{
    return playerctl({"status"});
}

QString url()
{
    return playerctl({"metadata", "xesam:url"});
}

// Seconds, as playerctl prints the position.
double position()
{
    return playerctl({"position"}).toDouble();
}

} // namespace

class MprisDesktopTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void mediaControls();

private:
    QString fileUrl(int row) const
    {
        return QString::fromUtf8(QUrl::fromLocalFile(paths[row]).toEncoded());
    }

    QTemporaryDir dir;
    QStringList paths;
    QProcess program;
};

void MprisDesktopTest::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS"), "no private session bus");
    for (const char *name : {"first.ape", "second track.ape", "third.ape", "opened.ape"}) {
        paths << dir.filePath(QString::fromLatin1(name));
        QVERIFY(QFile::copy(fixturePath(kFixture), paths.last()));
    }
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("out")));
    // The file opened through the bus carries tags and a front cover.
    QVERIFY(writeApeTags(paths[3],
                         {{"Title", "Звезда по имени Солнце"},
                          {"Artist", "Кино"},
                          {"Album", "Звезда"},
                          {"Year", "1989"}},
                         testPicture(3)));
}

void MprisDesktopTest::cleanupTestCase()
{
    stopSorvano(program);
}

void MprisDesktopTest::mediaControls()
{
    // Three files and a name that is not there, as a file manager hands them
    // over, after an option that is Qt's own.
    program.setArguments({"-style", "Fusion", paths[0], dir.filePath("missing.ape"), paths[1],
                          QDir(dir.path()).relativeFilePath(paths[2])});
    program.setWorkingDirectory(dir.path());
    startSorvano(program);
    QVERIFY(program.waitForStarted(kWait));
    const QString pid = QString::number(program.processId());
    QVERIFY_POLL(runText(QStringLiteral("playerctl"), {"-l"}).split('\n').contains("sorvano"));
    QString window;
    QVERIFY_POLL(
        !(window = runText(QStringLiteral("xdotool"), {"search", "--onlyvisible", "--pid", pid}))
             .isEmpty());
    window = window.section('\n', 0, 0);

    // What a desktop's controls are told, through PropertiesChanged.
    QProcess follow;
    follow.start(QStringLiteral("playerctl"), {"-p", "sorvano", "--follow", "status"});
    QVERIFY(follow.waitForStarted(kWait));
    QString followed;
    const auto told = [&](const QString &what) {
        follow.waitForReadyRead(50); // no event loop reads it here
        followed += QString::fromUtf8(follow.readAllStandardOutput());
        return followed.trimmed().section('\n', -1) == what;
    };

    // Nothing plays; the last file is the selected row, whose metadata shows.
    QVERIFY_POLL(url() == fileUrl(2));
    QCOMPARE(status(), QStringLiteral("Stopped"));
    QCOMPARE(playerctl({"metadata", "xesam:title"}), QStringLiteral("third"));
    QCOMPARE(playerctl({"metadata", "mpris:length"}), QString::number(kLengthUs));
    QCOMPARE(playerctl({"loop"}), QStringLiteral("Playlist"));

    // Next after the last row wraps to the first: the rows are the three
    // files in command-line order, the missing one skipped.
    playerctl({"next"});
    QVERIFY_POLL(url() == fileUrl(0) && status() == QLatin1String("Playing"));
    QCOMPARE(windowName(window.toULongLong()), QStringLiteral("Sorvano [%1]").arg(paths[0]));
    playerctl({"next"});
    QVERIFY_POLL(url() == fileUrl(1));
    QVERIFY(url().endsWith(QLatin1String("/second%20track.ape")));
    // An object path, which playerctl prints quoted.
    const QString trackId = playerctl({"metadata", "mpris:trackid"});
    QVERIFY2(trackId.startsWith(QLatin1String("'/")), qPrintable(trackId));
    playerctl({"previous"});
    QVERIFY_POLL(url() == fileUrl(0));
    QVERIFY(playerctl({"metadata", "mpris:trackid"}) != trackId);
    playerctl({"previous"});
    QVERIFY_POLL(url() == fileUrl(2) && status() == QLatin1String("Playing"));

    // Pause holds the position where it is heard; PlayPause goes on from there.
    QVERIFY_POLL(position() > 1.0);
    playerctl({"pause"});
    QVERIFY_POLL(status() == QLatin1String("Paused"));
    QVERIFY_POLL(told(QStringLiteral("Paused")));
    const double held = position();
    QThread::msleep(1500);
    QCOMPARE(position(), held);
    QCOMPARE(windowName(window.toULongLong()), QStringLiteral("Sorvano [%1]").arg(paths[2]));
    playerctl({"play-pause"});
    QVERIFY_POLL(status() == QLatin1String("Playing"));
    QVERIFY_POLL(position() > held + 0.5);
    QVERIFY2(position() < held + 5, "resumed from elsewhere than where it was paused");

    // SetPosition: what is heard moves there and plays on.
    playerctl({"position", "20"});
    QVERIFY_POLL(position() >= 20.0);
    QVERIFY(position() < 24.0);
    QVERIFY_POLL(position() > 20.5);
    playerctl({"position", "10-"}); // Seek, back by ten seconds
    QVERIFY_POLL(position() < 15.0);
    QVERIFY(position() >= 10.0);

    // Stop.
    playerctl({"stop"});
    QVERIFY_POLL(status() == QLatin1String("Stopped"));
    QVERIFY_POLL(told(QStringLiteral("Stopped")));
    follow.kill();
    follow.waitForFinished(kWait);
    QCOMPARE(windowName(window.toULongLong()), QStringLiteral("Sorvano"));

    // LoopStatus is the Loop box, both ways.
    playerctl({"loop", "None"});
    QVERIFY_POLL(playerctl({"loop"}) == QLatin1String("None"));
    playerctl({"loop", "Track"});
    QVERIFY_POLL(playerctl({"loop"}) == QLatin1String("Playlist"));

    // OpenUri adds the file as Open would, then plays it.
    playerctl({"open", fileUrl(3)});
    QVERIFY_POLL(url() == fileUrl(3) && status() == QLatin1String("Playing"));
    // Its tags and its cover, as a file of the program's own.
    QCOMPARE(playerctl({"metadata", "xesam:title"}), QStringLiteral("Звезда по имени Солнце"));
    QCOMPARE(playerctl({"metadata", "xesam:artist"}), QStringLiteral("Кино"));
    QCOMPARE(playerctl({"metadata", "xesam:album"}), QStringLiteral("Звезда"));
    QCOMPARE(playerctl({"metadata", "xesam:contentCreated"}),
             QStringLiteral("1989-01-01T00:00:00Z"));
    const QUrl coverUrl(playerctl({"metadata", "mpris:artUrl"}));
    QVERIFY2(coverUrl.isLocalFile(), qPrintable(coverUrl.toString()));
    const QString coverFile = coverUrl.toLocalFile();
    QVERIFY(coverFile.startsWith(qEnvironmentVariable("XDG_RUNTIME_DIR") + '/'));
    QFile cover(coverFile);
    QVERIFY(cover.open(QIODevice::ReadOnly));
    QCOMPARE(cover.readAll(), testPicture(3));

    // During a decode every request is refused. The program runs in slow
    // motion meanwhile, so the decode lasts while the requests are made.
    const QString wav = dir.filePath("out/decoded.wav");
    // The first row, while the opened file plays on.
    // (Selecting a row from a command leaves the list's focus mark where it
    // was: End first, so Home moves it.)
    runText(QStringLiteral("xdotool"), {"key", "--clearmodifiers", "End", "Home", "ctrl+d"});
    // Between the window and its dialog there is a moment with no active
    // window at all.
    WindowId dialog = 0;
    QVERIFY_POLL((dialog = activeWindow()) != 0 && dialog != window.toULongLong());
    runText(QStringLiteral("xdotool"), {"key", "--clearmodifiers", "ctrl+a"});
    runText(QStringLiteral("xdotool"), {"type", "--delay", "5", wav});
    SlowMotion slowMotion(pid_t(program.processId()), QFile::encodeName(wav), 44 + kPcmBytes, 3);
    // A completer list popping up while typing may take the first Return.
    QElapsedTimer sinceReturn;
    const auto decodeStarted = [&] {
        if (QFileInfo(wav).size() > 44)
            return true;
        if (!sinceReturn.isValid() || sinceReturn.elapsed() > 1500) {
            if (activeWindow() == dialog)
                runText(QStringLiteral("xdotool"), {"key", "Return"});
            sinceReturn.start();
        }
        return false;
    };
    QVERIFY2(poll(decodeStarted), "the decode did not start");
    for (const QStringList &request :
         {QStringList{"stop"}, QStringList{"next"}, QStringList{"pause"},
          QStringList{"position", "5"}, QStringList{"loop", "None"}})
        playerctl(request);
    const QString canPlay = playerProperty(QStringLiteral("CanPlay"));
    QVERIFY(callRoot(QStringLiteral("Quit")));
    // Read from the bus itself: playerctl hides what a player that cannot
    // be controlled shows.
    const QString during = playerProperty(QStringLiteral("PlaybackStatus")) + ' ' +
                           playerProperty(QStringLiteral("LoopStatus")) + ' ' +
                           playerProperty(QStringLiteral("Metadata"));
    const bool stillDecoding = QFileInfo(wav).size() < 44 + kPcmBytes;
    slowMotion.end();
    QVERIFY2(stillDecoding, "the decode ended before the requests were made");
    QVERIFY2(canPlay.contains(QLatin1String("false")), qPrintable(canPlay));
    QVERIFY2(during.simplified().startsWith(QLatin1String("variant Playing variant Playlist ")) &&
                 during.contains(fileUrl(3)),
             qPrintable(during));
    // The closing notice of the decode; the requests have left no trace.
    QVERIFY_POLL(windowName(activeWindow()) == QLatin1String("INFORMATION"));
    runText(QStringLiteral("xdotool"), {"key", "Return"});
    QVERIFY_POLL(playerProperty(QStringLiteral("CanPlay")).contains(QLatin1String("true")));
    QCOMPARE(status(), QStringLiteral("Playing"));
    QCOMPARE(url(), fileUrl(3));
    QCOMPARE(program.state(), QProcess::Running);

    // Raise brings the window back from the tray.
    QVERIFY(runText(QStringLiteral("xdotool"), {"windowminimize", window}).isEmpty());
    QVERIFY_POLL(!runText(QStringLiteral("xwininfo"), {"-id", window}).contains("IsViewable"));
    QVERIFY(callRoot(QStringLiteral("Raise")));
    QVERIFY_POLL(runText(QStringLiteral("xwininfo"), {"-id", window}).contains("IsViewable"));
    QVERIFY_POLL(runText(QStringLiteral("xdotool"), {"getactivewindow"}) == window);

    // Quit is the Exit command.
    QVERIFY(callRoot(QStringLiteral("Quit")));
    QVERIFY(program.waitForFinished(kWait));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    // The covers' folder went with the program.
    QVERIFY(!QFileInfo::exists(QFileInfo(coverFile).path()));
}

QTEST_GUILESS_MAIN(MprisDesktopTest)
#include "tst_mpris_desktop.moc"
