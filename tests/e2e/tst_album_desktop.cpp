// An album image through the real sorvano binary on the private desktop: its
// sheet given on the command line becomes its tracks' rows, and a middle
// track played without Loop reaches the PulseAudio null sink from its first
// sample to its last and nothing after it. What the sink receives is
// recorded from its monitor with parec. The list is photographed to
// SORVANO_SHOTS.
#include "DecodedPcm.h"
#include "DesktopDriver.h"
#include "Manifest.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdlib>

namespace {

const QString kCueData = QStringLiteral(SORVANO_TEST_DATA "/cue/");

} // namespace

class AlbumDesktopTest : public QObject, private DesktopDriver
{
    Q_OBJECT

private slots:
    void cleanup() { stopSorvano(program_); }
    void middleTrackIsHeardExactly();
};

void AlbumDesktopTest::middleTrackIsHeardExactly()
{
    QList<QMap<QString, QString>> tracks;
    for (const auto &row : Manifest::load(kCueData + "manifest.tsv").rows)
        if (row["sheet"] == "a1-utf8.cue")
            tracks << row;
    QCOMPARE(tracks.size(), 5);
    const auto &track = tracks[2];
    const QString image = kCueData + track["file"];
    const int64_t first = track["start_sample"].toLongLong();
    const int64_t end = track["end_sample"].toLongLong();
    const QByteArray expected = decodedStereo16(image, first, end);
    QVERIFY(!expected.isEmpty());

    program_.setArguments({kCueData + "a1-utf8.cue"});
    startProgram();
    xdotool({"mousemove", "1", "1"});
    const QString shots = qEnvironmentVariable("SORVANO_SHOTS");
    if (!shots.isEmpty() && QDir().mkpath(shots))
        run("import", {"-window", hexId(mainWindow_), QDir(shots).filePath("album-tracks.png")});

    // Everything the sink plays from now on, as it received it.
    QTemporaryDir dir;
    const QString recording = dir.filePath("sink.raw");
    QProcess parec;
    parec.setStandardOutputFile(recording);
    parec.start("parec", {"-d", "sorvano_null.monitor", "--raw", "--format=s16le", "--rate=44100",
                          "--channels=2", "--latency-msec=20"});
    QVERIFY(parec.waitForStarted(kWait));
    QThread::msleep(500);

    // The third row; Loop (ticked at start) unticked from the keyboard, the
    // box being next in the tab order; then Play.
    pressKeys({"Home", "Down", "Down", "Tab", "space", "shift+Tab", "ctrl+p"});
    const QString caption = QStringLiteral("Sorvano [%1 #03 %2 \u2014 %3]")
                                .arg(image, track["title"], track["performer"]);
    QVERIFY_POLL(windowName(mainWindow_) == caption);
    // The track lasts 3.3 s; a second more shows whether anything follows.
    QThread::msleep(static_cast<unsigned long>((end - first) * 1000 / 44100 + 1500));
    parec.terminate();
    QVERIFY(parec.waitForFinished(kWait));

    QFile f(recording);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray heard = f.readAll();
    const auto *got = reinterpret_cast<const int16_t *>(heard.constData());
    const auto *want = reinterpret_cast<const int16_t *>(expected.constData());
    const qsizetype samples = heard.size() / 2, trackSamples = expected.size() / 2;
    qsizetype at = 0;
    while (at < samples && got[at] == 0)
        ++at;
    at -= at % 2;
    QVERIFY2(samples - at >= trackSamples, "the track was not heard to its end");
    // The server converts the player's float samples to 16 bits: one step
    // either way is the conversion's, not the track's.
    qsizetype wrong = 0;
    for (qsizetype i = 0; i < trackSamples; ++i)
        if (std::abs(got[at + i] - want[i]) > 1)
            ++wrong;
    QVERIFY2(wrong == 0, qPrintable(QStringLiteral("%1 samples differ").arg(wrong)));
    qsizetype after = 0, firstAfter = -1;
    for (qsizetype i = at + trackSamples; i < samples; ++i)
        if (got[i] != 0 && ++after == 1)
            firstAfter = i - at - trackSamples;
    QVERIFY2(after == 0, qPrintable(QStringLiteral("%1 samples heard after the track's last one, "
                                                   "the first %2 samples after it")
                                        .arg(after)
                                        .arg(firstAfter)));
}

QTEST_GUILESS_MAIN(AlbumDesktopTest)
#include "tst_album_desktop.moc"
