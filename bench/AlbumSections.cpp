// Album images: reading a CUE sheet and laying out its rows over the image,
// the work the window does before it adds a sheet's rows.
#include "SorvanoBench.h"
#include "logic/CueSheet.h"

#include <QDir>
#include <QFile>
#include <vector>

namespace bench {

void benchAlbum(int runs, const QString &tmp)
{
    // One image beside the sheet, as the sheet's FILE line expects it.
    const QString image = QStringLiteral(SORVANO_TEST_DATA "/cue/a1-utf8.ape");
    const QString dir = QDir(tmp).filePath(QStringLiteral("album"));
    QDir().mkpath(dir);
    const QString linked = QDir(dir).filePath(QStringLiteral("album.ape"));
    QFile::remove(linked);
    if (!QFile::link(image, linked))
        fail(QStringLiteral("cannot link %1 into %2").arg(image, dir));

    // 99 tracks 15 CD frames apart: the image holds 26 seconds.
    constexpr int kTracks = 99;
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
}

} // namespace bench
