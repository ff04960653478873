// The gapless advance heard at the sound server: the real sorvano binary on a
// private desktop (scripts/desktop-session.sh: openbox, a PulseAudio null
// sink at 44100 Hz), its rows given on the command line and played with the
// keyboard, Loop ticked as it starts. What the sink plays is recorded from its
// monitor with parec and must hold the rows' samples back to back, bit for
// bit, across every boundary.
#include "DecodedPcm.h"
#include "DesktopDriver.h"
#include "Manifest.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

// 16-bit stereo at 44100 Hz, the sink's own format: nothing is converted.
const char *const kFirst = "s16-stereo-44k-c2000.ape";
const char *const kSecond = "s16-stereo-44k-fullscale-c2000.ape";
constexpr int kFrameBytes = 4;

} // namespace

class GaplessDesktopTest : public QObject, private DesktopDriver
{
    Q_OBJECT

private slots:
    void cleanup() { stopSorvano(program_); }
    // Two files, each a row of its own, and round again to the first.
    void filesFollowBitForBit();
    // Three consecutive tracks of one image: the next row is the same file's
    // next stretch.
    void imageTracksFollowBitForBit();

private:
    // Starts the program on `arguments`, plays the first row (its caption
    // begins with `captionStart`) and records the
    // sink until `expected` has been heard; then compares a second on each
    // side of every boundary (byte offsets into `expected`).
    void checkHeard(const QStringList &arguments, const QString &captionStart,
                    const QByteArray &expected, const QList<qsizetype> &boundaries);

    QTemporaryDir dir;
};

void GaplessDesktopTest::filesFollowBitForBit()
{
    const QStringList rows = {fixturePath(kFirst), fixturePath(kSecond)};
    QByteArray expected;
    QList<qsizetype> boundaries;
    for (const QString &row : rows) {
        const QByteArray pcm = decodedStereo16(row);
        QVERIFY2(!pcm.isEmpty(), qPrintable(row));
        expected += pcm;
        boundaries << expected.size();
    }
    // After the last row the first one follows again.
    expected += decodedStereo16(rows.first()).left(44100 * kFrameBytes);
    checkHeard(rows, QStringLiteral("Sorvano [%1]").arg(rows.first()), expected, boundaries);
}

void GaplessDesktopTest::imageTracksFollowBitForBit()
{
    const QString cueData = QStringLiteral(SORVANO_TEST_DATA "/cue/");
    QList<qsizetype> boundaries;
    QString image;
    for (const auto &row : Manifest::load(cueData + "manifest.tsv").rows) {
        if (row["sheet"] != "a1-utf8.cue" || boundaries.size() == 3)
            continue;
        image = cueData + row["file"];
        boundaries << row["end_sample"].toLongLong() * kFrameBytes;
    }
    QCOMPARE(boundaries.size(), 3);
    // The three tracks from the image's start, and a second of the fourth.
    const QByteArray expected = decodedStereo16(image, 0, boundaries.last() / kFrameBytes + 44100);
    QVERIFY(!expected.isEmpty());
    checkHeard({cueData + "a1-utf8.cue"}, QStringLiteral("Sorvano [%1 #01").arg(image), expected,
               boundaries);
}

void GaplessDesktopTest::checkHeard(const QStringList &arguments, const QString &captionStart,
                                    const QByteArray &expected, const QList<qsizetype> &boundaries)
{
    QVERIFY(dir.isValid());
    // What the sink plays, from before Play until the rows have been heard.
    const QString recording = dir.filePath(QStringLiteral("sink.s16"));
    QProcess parec;
    parec.setStandardOutputFile(recording);
    parec.start(QStringLiteral("parec"), {"-d", "sorvano_null.monitor", "--raw", "--format=s16le",
                                          "--rate=44100", "--channels=2", "--latency-msec=20"});
    QVERIFY(parec.waitForStarted(kWait));
    // Recording has begun once the silence of the idle sink arrives.
    QVERIFY_POLL(QFileInfo(recording).size() > 4096);

    program_.setArguments(arguments);
    startProgram();
    pressKeys({"Home", "ctrl+p"});
    QVERIFY_POLL(windowName(mainWindow_).startsWith(captionStart));
    const qint64 enough = QFileInfo(recording).size() + expected.size() + 44100 * kFrameBytes;
    QVERIFY_POLL(QFileInfo(recording).size() > enough, 60000);
    parec.terminate();
    QVERIFY(parec.waitForFinished(kWait));

    QFile file(recording);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray heard = file.readAll();
    // A second on each side of every boundary, each found by its own first
    // frames, so that a server hiccup elsewhere is not taken for a gap.
    for (const qsizetype boundary : boundaries) {
        const qsizetype from = std::max<qsizetype>(0, boundary - 44100 * kFrameBytes);
        const QByteArray want = expected.mid(from, 2 * 44100 * kFrameBytes);
        const QByteArray lead = want.left(4096 * kFrameBytes);
        qsizetype at = heard.indexOf(lead);
        while (at >= 0 && at % kFrameBytes != 0) // a frame's start, not inside a sample
            at = heard.indexOf(lead, at + 1);
        QVERIFY2(at >= 0, qPrintable(QStringLiteral("the second before the boundary at frame %1 "
                                                    "is never heard as it is")
                                         .arg(boundary / kFrameBytes)));
        const QByteArray got = heard.mid(at, want.size());
        QCOMPARE(got.size(), want.size());
        qsizetype differs = 0;
        while (differs < got.size() && got[differs] == want[differs])
            ++differs;
        QVERIFY2(differs == got.size(),
                 qPrintable(QStringLiteral("around the boundary at frame %1: the first "
                                           "difference is %2 frames after it")
                                .arg(boundary / kFrameBytes)
                                .arg((from + differs - boundary) / kFrameBytes)));
    }
}

QTEST_GUILESS_MAIN(GaplessDesktopTest)
#include "tst_gapless_desktop.moc"
