// Album images: reading a CUE sheet and laying out its rows over the image,
// the work the window does before it adds a sheet's rows; opening it into the
// window's rows; and how soon a track that starts inside an APE frame is
// heard after Play.
#include "SorvanoBench.h"
#include "logic/CueSheet.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QToolButton>
#include <algorithm>
#include <atomic>
#include <vector>

namespace bench {

namespace {

// From Play to the first mixed block that carries sound, in ms, for a track
// row that starts six and a half APE frames into its image (decoded from that frame's
// start up to the track's sample) and for a plain file's row, alternately.
void benchFirstSound(int runs)
{
    Rig rig;
    std::atomic<int64_t> heardAt{0};
    std::atomic<bool> armed{false};
    rig.engine.setMixTap([&](const float *samples, int frames) {
        if (!armed.load())
            return;
        const int count = frames * rig.engine.outputChannels();
        if (std::any_of(samples, samples + count, [](float v) { return v != 0.0f; })) {
            heardAt.store(monotonicNs());
            armed.store(false);
        }
    });
    rig.open({QStringLiteral(SORVANO_TEST_DATA "/cue/a1-utf8.cue"),
              QStringLiteral(SORVANO_TEST_DATA "/cue/a1-utf8.ape")});
    if (rig.rowCount() != 6 || !rig.playlist()->rowAt(2)->track)
        fail(QStringLiteral("the album's rows and the plain file did not open"));
    const auto firstSound = [&](int row) {
        rig.select(row);
        heardAt.store(0);
        armed.store(true);
        const int64_t start = monotonicNs();
        rig.button("PlayToolButton")->click();
        for (int i = 0; i < 400 && heardAt.load() == 0; ++i)
            pumpFor(5);
        rig.stop();
        armed.store(false);
        if (heardAt.load() == 0)
            fail(QStringLiteral("row %1 was never heard").arg(row));
        return double(heardAt.load() - start) / 1e6;
    };
    std::vector<double> track, plain;
    for (int run = 0; run < std::max(runs, 9); ++run) {
        track.push_back(firstSound(2));
        plain.push_back(firstSound(5));
    }
    // Both wait for the device's next buffer; one buffer's time is the slack.
    const double slack = 1000.0 * kDeviceBufferFrames / 44100;
    addFigure(QStringLiteral("album"), QStringLiteral("first sound after Play, mid-frame track"),
              median(track), QStringLiteral("ms"),
              QStringLiteral("<= plain file + %1").arg(slack, 0, 'f', 1),
              median(track) <= median(plain) + slack,
              QStringLiteral("plain file's row %1 ms (median); max %2 and %3 ms over %4 runs")
                  .arg(median(plain), 0, 'f', 2)
                  .arg(maximum(track), 0, 'f', 2)
                  .arg(maximum(plain), 0, 'f', 2)
                  .arg(track.size()));
}

constexpr int kTracks = 99;

// A sheet of 99 tracks in its own folder under tmp, beside a link to one
// fixture image, as the sheet's FILE line expects it. Returns the sheet.
QString writeNinetyNineSheet(const QString &tmp)
{
    const QString image = QStringLiteral(SORVANO_TEST_DATA "/cue/a1-utf8.ape");
    const QString dir = QDir(tmp).filePath(QStringLiteral("album"));
    QDir().mkpath(dir);
    const QString linked = QDir(dir).filePath(QStringLiteral("album.ape"));
    QFile::remove(linked);
    if (!QFile::link(image, linked))
        fail(QStringLiteral("cannot link %1 into %2").arg(image, dir));

    // 99 tracks 15 CD frames apart: the image holds 26 seconds.
    QByteArray sheet = "PERFORMER \"Bench\"\nTITLE \"Ninety-nine\"\nFILE \"album.wav\" WAVE\n";
    for (int i = 0; i < kTracks; ++i) {
        const int frames = i * 15;
        sheet += QStringLiteral("  TRACK %1 AUDIO\n    TITLE \"Track %1\"\n"
                                "    INDEX 01 %2:%3:%4\n")
                     .arg(i + 1, 2, 10, QLatin1Char('0'))
                     .arg(frames / 75 / 60, 2, 10, QLatin1Char('0'))
                     .arg(frames / 75 % 60, 2, 10, QLatin1Char('0'))
                     .arg(frames % 75, 2, 10, QLatin1Char('0'))
                     .toUtf8();
    }
    const QString sheetPath = QDir(dir).filePath(QStringLiteral("album.cue"));
    QFile out(sheetPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(sheet) != sheet.size())
        fail(QStringLiteral("cannot write %1").arg(sheetPath));
    out.close();
    return sheetPath;
}

// Opening the sheet through the window, as the Open button does, until its
// rows are in the list: the sheet read, the image's tags, and a range stream
// per track. A fresh window each run, so every run starts from an empty list.
void benchAlbumOpen(int runs, const QString &sheetPath)
{
    std::vector<double> times;
    for (int run = 0; run < std::max(runs, 9); ++run) {
        Rig rig;
        const int64_t start = monotonicNs();
        rig.open({sheetPath});
        QCoreApplication::processEvents();
        times.push_back(secondsSince(start) * 1000);
        if (rig.rowCount() != kTracks || !rig.prompts.messages.isEmpty())
            fail(QStringLiteral("the 99-track sheet opened as %1 rows, %2 messages")
                     .arg(rig.rowCount())
                     .arg(rig.prompts.messages.size()));
    }
    addFigure(QStringLiteral("album"), QStringLiteral("99-track sheet opened into rows, median"),
              median(times), QStringLiteral("ms"), QStringLiteral("< 50"), median(times) < 50,
              QStringLiteral("max %1 ms over %2 runs; one range stream per row")
                  .arg(maximum(times), 0, 'f', 2)
                  .arg(times.size()));
}

} // namespace

void benchAlbum(int runs, const QString &tmp)
{
    const QString sheetPath = writeNinetyNineSheet(tmp);
    std::vector<double> times;
    for (int run = 0; run < std::max(runs, 9); ++run) {
        const int64_t start = monotonicNs();
        const cue::AlbumLoad load = cue::loadSheetFile(sheetPath, cue::probeImage);
        times.push_back(secondsSince(start) * 1000);
        if (load.refused || load.tracks.size() != kTracks)
            fail(QStringLiteral("the 99-track sheet gave %1 rows: %2")
                     .arg(load.tracks.size())
                     .arg(load.why));
    }
    addFigure(QStringLiteral("album"), QStringLiteral("99-track sheet read and laid out, median"),
              median(times), QStringLiteral("ms"), QStringLiteral("< 50"), median(times) < 50,
              QStringLiteral("max %1 ms over %2 runs; the image's header read each time")
                  .arg(maximum(times), 0, 'f', 2)
                  .arg(times.size()));
    benchAlbumOpen(runs, sheetPath);
    benchFirstSound(runs);
}

} // namespace bench
