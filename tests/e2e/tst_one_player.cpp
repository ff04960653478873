// The real sorvano binary as the desktop sees it beside other programs: one
// player for every start (on a private session bus), its stream as the sound
// server lists it, and files whose names are not UTF-8. Run by
// scripts/desktop-session.sh with openbox, trayer, a PulseAudio null sink and
// a dbus-daemon of its own.
#include "DesktopDriver.h"
#include "Manifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const char *const kFixture = "s16-stereo-44k-long-c2000.ape";

// The properties of the program's stream, as the sound server lists them.
QString soundServerStreams()
{
    return QString::fromUtf8(run(QStringLiteral("pactl"), {"list", "sink-inputs"}));
}

// "Привет" in Windows' Cyrillic code page: no UTF-8 at all.
const QByteArray kCp1251("\xcf\xf0\xe8\xe2\xe5\xf2");

bool copyTo(const QString &fixture, const QByteArray &path)
{
    QFile from(fixturePath(fixture));
    const int fd = ::open(path.constData(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    const bool ok = fd >= 0 && from.open(QIODevice::ReadOnly) &&
                    ::write(fd, from.readAll().constData(), size_t(from.size())) == from.size();
    ::close(fd);
    return ok;
}

QByteArray readBytes(const QByteArray &path)
{
    QByteArray data;
    const int fd = ::open(path.constData(), O_RDONLY);
    char block[65536];
    for (ssize_t n; fd >= 0 && (n = ::read(fd, block, sizeof block)) > 0;)
        data.append(block, n);
    ::close(fd);
    return data;
}

// xdotool types a character no key gives by changing the keyboard's map for
// each keystroke, and the window now and then reads a keystroke by the map
// before or after: characters go missing. The private desktop's keyboard
// gets a key of its own for the replacement character instead.
bool addReplacementCharacterKey()
{
    int status = 0;
    run(QStringLiteral("sh"),
        {"-c", "xkbcomp -xkb \"$DISPLAY\" - | sed '/^xkb_symbols/,/^};/ s/^};/    key <I149> "
               "{ [ 0x100fffd ] };\\n};/' | xkbcomp -w0 - \"$DISPLAY\""},
        &status);
    return status == 0;
}

// Another start of the program, to its end, its arguments as bytes (which
// QProcess cannot pass): its exit status and what it said on stderr.
int startAgain(const QByteArray &arg, const QByteArray &stderrFile, QByteArray *said)
{
    const QByteArray binary = SORVANO_BINARY;
    char *argv[] = {const_cast<char *>(binary.constData()), const_cast<char *>(arg.constData()),
                    nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, stderrFile.constData(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = 0;
    const int failed = posix_spawn(&pid, argv[0], &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    if (failed || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    *said = readBytes(stderrFile);
    return WEXITSTATUS(status);
}

} // namespace

class OnePlayerTest : public QObject, public DesktopDriver
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void namedStream();
    void handOverAndFileNames();

private:
    QTemporaryDir dir_;
    QString first_, second_;
};

void OnePlayerTest::initTestCase()
{
    QVERIFY(dir_.isValid());
    first_ = dir_.filePath(QStringLiteral("first.ape"));
    second_ = dir_.filePath(QStringLiteral("second track.ape"));
    for (const QString &path : {first_, second_})
        QVERIFY(QFile::copy(fixturePath(kFixture), path));
}

void OnePlayerTest::cleanupTestCase()
{
    stopSorvano(program_);
}

void OnePlayerTest::namedStream()
{
    program_.setArguments({first_, second_});
    startProgram();
    // Listed before anything plays, under the program's name.
    const auto listed = [](const QString &title) {
        const QString streams = soundServerStreams();
        return streams.contains(QStringLiteral("media.name = \"%1\"").arg(title)) &&
               streams.contains(QLatin1String("application.name = \"Sorvano\"")) &&
               streams.contains(QLatin1String("application.icon_name = \"sorvano\"")) &&
               streams.contains(QLatin1String("media.role = \"music\""));
    };
    QVERIFY_POLL(listed(QStringLiteral("Sorvano")));
    // The last file is the selected row; the name follows what plays.
    pressKeys({"ctrl+p"});
    QVERIFY_POLL(listed(QStringLiteral("second track.ape")));
    pressKeys({"End", "Home", "ctrl+p"});
    QVERIFY_POLL(listed(QStringLiteral("first.ape")));
    QVERIFY2(!soundServerStreams().contains(QLatin1String("second track.ape")),
             "a stream of the row played before is still there");
}

// The player that runs takes a later start's file, whose name is CP1251
// bytes; it plays and decodes exactly, its WAV named from the same bytes. During
// the decode a later start is refused and says so. Another such file opens
// from the Open dialog, by the name the dialog shows, and decodes exactly too.
void OnePlayerTest::handOverAndFileNames()
{
    const QByteArray folder = QFile::encodeName(dir_.path());
    const QByteArray handed = folder + '/' + kCp1251 + ".ape";
    QVERIFY(copyTo(QString::fromLatin1(kFixture), handed));
    const QByteArray log = QFile::encodeName(dir_.filePath(QStringLiteral("stderr.txt")));
    QByteArray said;

    // From the tray too: the window comes back for the file handed over.
    QVERIFY(xdotool({"windowminimize", QString::number(mainWindow_)}));
    QVERIFY_POLL(!viewable(mainWindow_));
    QCOMPARE(startAgain(handed, log, &said), 0);
    QVERIFY_POLL(viewable(mainWindow_) && activeWindow() == mainWindow_);
    QCOMPARE(ourWindows(true), QList<WindowId>{mainWindow_});
    // The row added is the selected one (once the hand-over has added it);
    // it plays under its shown name.
    const QString playing = QStringLiteral("Sorvano [%1]").arg(QString::fromUtf8(handed));
    QVERIFY_POLL((windowName(mainWindow_) == playing || (pressKeys({"ctrl+p"}), false)), kWait,
                 1000);
    QVERIFY_POLL(soundServerStreams().contains(
        QStringLiteral("media.name = \"%1.ape\"").arg(QString(6, QChar(0xFFFD)))));

    // Decode it under the proposed name, the source's bytes with ".wav".
    const QByteArray wav = folder + '/' + kCp1251 + ".wav";
    const Manifest manifest = Manifest::load(apeFixtureDir() + QStringLiteral("/manifest.tsv"));
    qint64 pcmBytes = 0;
    QByteArray pcmMd5;
    for (const auto &row : manifest.rows)
        if (row.value(QStringLiteral("file")) == QLatin1String(kFixture)) {
            pcmBytes = row.value(QStringLiteral("pcm_bytes")).toLongLong();
            pcmMd5 = row.value(QStringLiteral("pcm_md5")).toLatin1();
        }
    QVERIFY(pcmBytes > 0);
    const auto decodedExactly = [&](const QByteArray &path) {
        const QByteArray written = readBytes(path);
        return written.size() == 44 + pcmBytes &&
               QCryptographicHash::hash(written.mid(44), QCryptographicHash::Md5).toHex() == pcmMd5;
    };
    pressKeys({"ctrl+d"});
    {
        SlowMotion slowMotion(pid_t(program_.processId()), wav, 44 + pcmBytes, 5);
        answerFileDialog(QString());
        struct stat st;
        QVERIFY_POLL(::stat(wav.constData(), &st) == 0 && st.st_size > 44);
        const int refused = startAgain(handed, log, &said);
        QVERIFY(::stat(wav.constData(), &st) == 0 && st.st_size < 44 + pcmBytes);
        QCOMPARE(refused, 1);
        QVERIFY2(said.contains("decoding"), said.constData());
    }
    dismissBox(QStringLiteral("INFORMATION"));
    QVERIFY(decodedExactly(wav));

    // "Мир" in CP1251, typed into the Open dialog as the dialog shows it.
    const QByteArray chosen = folder + "/\xcc\xe8\xf0.ape";
    QVERIFY(copyTo(QString::fromLatin1(kFixture), chosen));
    QVERIFY(addReplacementCharacterKey());
    addFiles({QString::fromUtf8(chosen)});
    const QString shown = QStringLiteral("Sorvano [%1]").arg(QString::fromUtf8(chosen));
    QVERIFY_POLL((windowName(mainWindow_) == shown || (pressKeys({"ctrl+p"}), false)), kWait, 1000);
    pressKeys({"ctrl+d"});
    answerFileDialog(QString());
    dismissBox(QStringLiteral("INFORMATION"));
    QVERIFY(decodedExactly(folder + "/\xcc\xe8\xf0.wav"));
}

QTEST_GUILESS_MAIN(OnePlayerTest)
#include "tst_one_player.moc"
