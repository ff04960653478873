// The command line: what it parses, the lines and notices Verify writes, and
// the real program's --verify, --help, --version and wrong options, run with
// no display.
#include "TestToolkit.h"
#include "logic/CommandLine.h"
#include "logic/VerifyReport.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

using Mode = CommandLine::Mode;
using audio::VerifyResult;

namespace {

CommandLine parse(std::vector<const char *> args)
{
    args.insert(args.begin(), "sorvano");
    return parseCommandLine(int(args.size()), args.data());
}

struct Run
{
    int status = -1;
    QString out;
    QString err;
};

// The real program, with neither a display nor a sound server to find;
// arguments go through the shell so a test can hand it any bytes.
Run runProgram(const QString &shellArguments, const QString &workingDir = QString())
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_RUNTIME_DIR"})
        env.remove(QString::fromLatin1(name));
    p.setProcessEnvironment(env);
    if (!workingDir.isEmpty())
        p.setWorkingDirectory(workingDir);
    p.start(QStringLiteral("/bin/sh"),
            {QStringLiteral("-c"), QStringLiteral("exec \"$0\" ") + shellArguments,
             QStringLiteral(SORVANO_BINARY)});
    if (!p.waitForFinished(60000))
        return {};
    return {p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1,
            QString::fromUtf8(p.readAllStandardOutput()),
            QString::fromUtf8(p.readAllStandardError())};
}

QString quoted(const QString &path)
{
    return QStringLiteral("'") + path + QStringLiteral("'");
}

} // namespace

class VerifyCommandLineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void parsing()
    {
        CommandLine line = parse({"a.ape", "b.ape"});
        QCOMPARE(line.mode, Mode::Window);
        QCOMPARE(line.files, (std::vector<std::string>{"a.ape", "b.ape"}));
        QCOMPARE(parse({"-platform", "offscreen", "a.ape"}).files,
                 std::vector<std::string>{"a.ape"});
        line = parse({"--verify", "a.ape", "--", "-b.ape", "--help"});
        QCOMPARE(line.mode, Mode::Verify);
        QCOMPARE(line.files, (std::vector<std::string>{"a.ape", "-b.ape", "--help"}));
        QCOMPARE(parse({"a.ape", "--verify", "\xff.ape"}).files,
                 (std::vector<std::string>{"a.ape", "\xff.ape"}));
        QCOMPARE(parse({"--help", "--bogus"}).mode, Mode::Help);
        QCOMPARE(parse({"-h"}).mode, Mode::Help);
        QCOMPARE(parse({"--version"}).mode, Mode::Version);
        for (const auto &wrong :
             std::vector<std::vector<const char *>>{{"--bogus"},
                                                    {"-x", "a.ape"},
                                                    {"--verify"},
                                                    {"--verify", "--"},
                                                    {"--verify", "-style", "x", "a.ape"}}) {
            line = parse(wrong);
            QCOMPARE(line.mode, Mode::Error);
            QVERIFY(!line.error.empty());
        }
        QCOMPARE(parse({"--bogus"}).error, std::string("unknown option \"--bogus\""));
    }

    void texts()
    {
        QCOMPARE(minutesSeconds(0), std::string("0:00"));
        QCOMPARE(minutesSeconds(59.99), std::string("0:59"));
        QCOMPARE(minutesSeconds(3725.2), std::string("62:05"));

        VerifyResult r;
        r.status = VerifyResult::Status::Intact;
        r.md5Stored = r.md5Matches = true;
        QCOMPARE(verifyLine("a.ape", r), std::string("a.ape: ok"));
        VerifyMessage m = verifyMessage(QStringLiteral("/m/a.ape"), r);
        QCOMPARE(m.text, QStringLiteral("The file \"/m/a.ape\" is intact."));
        QVERIFY(!m.error);
        r.md5Stored = r.md5Matches = false;
        QCOMPARE(verifyMessage(QStringLiteral("/m/a.ape"), r).text,
                 QStringLiteral("The file \"/m/a.ape\" is intact (it stores no MD5; every frame "
                                "passes its check)."));
        QCOMPARE(verifyLine("a.ape", r),
                 std::string("a.ape: ok (no MD5 stored; every frame passes its check)"));

        r.status = VerifyResult::Status::Damaged;
        r.frames = 18;
        r.failedFrames = 3;
        r.firstFailedSeconds = 8.36;
        m = verifyMessage(QStringLiteral("/m/a.ape"), r);
        QCOMPARE(m.text, QStringLiteral("The file \"/m/a.ape\" is damaged: 3 of 18 frames fail "
                                        "their check, the first at 0:08."));
        QVERIFY(m.error);
        QCOMPARE(verifyLine("a.ape", r),
                 std::string("a.ape: damaged: 3 of 18 frames fail their check, the first at 0:08"));
        r.failedFrames = 0;
        QCOMPARE(verifyLine("a.ape", r),
                 std::string("a.ape: damaged: its contents do not match the MD5 it stores, "
                             "though every frame passes its check"));

        r.status = VerifyResult::Status::Unreadable;
        r.reason = "not an APE file";
        QCOMPARE(verifyLine("a.ape", r), std::string("a.ape: unreadable: not an APE file"));
        QCOMPARE(verifyMessage(QStringLiteral("/m/a.ape"), r).text,
                 QStringLiteral("The file \"/m/a.ape\" cannot be verified: not an APE file."));

        using S = VerifyResult::Status;
        QCOMPARE(verifyExitStatus({S::Intact, S::Intact}), 0);
        QCOMPARE(verifyExitStatus({S::Intact, S::Damaged}), 1);
        QCOMPARE(verifyExitStatus({S::Unreadable, S::Damaged, S::Intact}), 2);
    }

    void programVerifies()
    {
        QVERIFY(dir.isValid());
        const QString good = fixturePath("s16-stereo-44k-c2000.ape");
        const QString other = fixturePath("m6-s16-48k-c2000.ape");
        Run run = runProgram("--verify " + quoted(good) + " " + quoted(other));
        QCOMPARE(run.status, 0);
        QCOMPARE(run.out, good + ": ok\n" + other + ": ok\n");
        QCOMPARE(run.err, QString()); // no progress line off a terminal

        // One bit in the middle of the audio: the file's one frame fails.
        QByteArray bytes = readFile(fixturePath("s16-mono-22k-c2000.ape"));
        bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x04);
        // A name that is no UTF-8, and one that begins with a dash.
        QVERIFY(writeFile(dir.filePath("-damaged.ape"), bytes));
        QVERIFY(QFile::copy(good, dir.filePath("-good.ape")));
        // Qt has no name for those bytes: renamed by the bytes themselves.
        QCOMPARE(std::rename(QFile::encodeName(dir.filePath("-good.ape")).constData(),
                             (QFile::encodeName(dir.path()) + "/\xff.ape").constData()),
                 0);
        run = runProgram("--verify \"$(printf '\\377.ape')\" -- -damaged.ape", dir.path());
        // Nor can the temporary folder remove it.
        std::remove((QFile::encodeName(dir.path()) + "/\xff.ape").constData());
        QCOMPARE(run.status, 1);
        QCOMPARE(run.out, QString::fromUtf8("\xff.ape: ok\n") +
                              "-damaged.ape: damaged: 1 of 1 frames fail their check, the "
                              "first at 0:00\n");

        QVERIFY(writeFile(dir.filePath("text.ape"), "not audio"));
        run = runProgram("--verify text.ape -- -damaged.ape missing.ape", dir.path());
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out.split('\n'),
                 QStringList(
                     {"text.ape: unreadable: not an APE file",
                      "-damaged.ape: damaged: 1 of 1 frames fail their check, the first "
                      "at 0:00",
                      "missing.ape: unreadable: cannot open file: No such file or directory", ""}));
    }

    void programOptions()
    {
        Run run = runProgram("--help");
        QCOMPARE(run.status, 0);
        QVERIFY(run.out.startsWith("Usage: sorvano [FILE...]\n"));
        QVERIFY(run.out.contains("--verify"));
        run = runProgram("--version");
        QCOMPARE(run.status, 0);
        QVERIFY(run.out.startsWith("sorvano "));
        run = runProgram("--frobnicate a.ape");
        QCOMPARE(run.status, 2);
        QCOMPARE(run.out, QString());
        QCOMPARE(run.err, QStringLiteral("sorvano: unknown option \"--frobnicate\"\n"
                                         "Try \"sorvano --help\".\n"));
    }
};

QTEST_GUILESS_MAIN(VerifyCommandLineTest)
#include "tst_verify_command.moc"
