// The sections measured on one window in this process: export through the
// window's decode path, and seeking in a playing stream.
#include "SorvanoBench.h"

#include <QFile>
#include <cstdlib>
#include <random>
#include <sys/resource.h>
#include <vector>

namespace bench {

void benchExport(Rig &rig, const QList<Fixture> &files, int runs, const QString &tmp,
                 bool haveFfmpeg)
{
    const QString out = tmp + QStringLiteral("/export.wav");
    const QString ffOut = tmp + QStringLiteral("/ffmpeg.wav");
    struct Times
    {
        std::vector<double> window, windowOne, ffmpeg, bare;
    };
    std::vector<Times> times(size_t(files.size()));
    bool identical = true;
    QStringList mismatches;

    for (const Fixture &f : files)
        bareDecode(f.path); // into the page cache
    // Files of a few seconds export in tens of milliseconds, where a busy
    // machine's scheduling noise is large: they get twice the runs.
    const auto runsOf = [&](const Fixture &f) { return f.audioSeconds < 60 ? 2 * runs : runs; };
    for (int r = 0; r < 2 * runs; ++r) {
        for (int i = 0; i < files.size(); ++i) {
            const Fixture &f = files[i];
            if (r >= runsOf(f))
                continue;
            Times &t = times[size_t(i)];
            // The order of the four rotates from run to run, so none of them
            // always follows another.
            for (int k = 0; k < 4; ++k) {
                switch ((k + r) % 4) {
                case 0: {
                    rig.engine.setDecodeThreads(0);
                    t.window.push_back(rig.decode(f.path, out));
                    if (wavDataMd5(out) != f.md5) {
                        identical = false;
                        mismatches << f.label + QStringLiteral(" (all cores)");
                    }
                    break;
                }
                case 1: {
                    rig.engine.setDecodeThreads(1);
                    t.windowOne.push_back(rig.decode(f.path, out));
                    rig.engine.setDecodeThreads(0);
                    if (wavDataMd5(out) != f.md5) {
                        identical = false;
                        mismatches << f.label + QStringLiteral(" (one thread)");
                    }
                    break;
                }
                case 2:
                    if (haveFfmpeg) {
                        const ProcessResult p =
                            runProcess({QStringLiteral("ffmpeg"), QStringLiteral("-v"),
                                        QStringLiteral("error"), QStringLiteral("-i"), f.path,
                                        QStringLiteral("-f"), QStringLiteral("wav"),
                                        QStringLiteral("-y"), ffOut});
                        if (p.status != 0)
                            fail(QStringLiteral("ffmpeg failed on ") + f.path);
                        t.ffmpeg.push_back(p.seconds);
                    }
                    break;
                default:
                    t.bare.push_back(bareDecode(f.path));
                    break;
                }
            }
        }
    }
    QFile::remove(out);
    QFile::remove(ffOut);

    for (int i = 0; i < files.size(); ++i) {
        const Fixture &f = files[i];
        const Times &t = times[size_t(i)];
        std::vector<double> vsFfmpeg, vsBare;
        for (int r = 0; r < runsOf(f); ++r) {
            if (haveFfmpeg)
                vsFfmpeg.push_back(t.window[size_t(r)] / t.ffmpeg[size_t(r)]);
            vsBare.push_back(t.bare[size_t(r)] / t.windowOne[size_t(r)]);
        }
        const double budget = f.level == 5000 ? 0.4 : 0.8;
        const double mbps = f.audioSeconds * 44100 * 4 / median(t.window) / 1e6;
        if (haveFfmpeg) {
            const double ratio = median(vsFfmpeg);
            addFigure(QStringLiteral("export"),
                      QStringLiteral("export %1: wall / ffmpeg").arg(f.label), ratio,
                      QStringLiteral("x"), QStringLiteral("<= %1").arg(budget), ratio <= budget,
                      QStringLiteral("%1 s vs %2 s, %3 MB/s")
                          .arg(median(t.window), 0, 'f', 3)
                          .arg(median(t.ffmpeg), 0, 'f', 3)
                          .arg(mbps, 0, 'f', 1));
        }
        const double share = median(vsBare);
        addFigure(QStringLiteral("export"),
                  QStringLiteral("export %1, 1 thread / bare decoder").arg(f.label), share * 100,
                  QStringLiteral("%"), QStringLiteral(">= 95"), share >= 0.95,
                  QStringLiteral("%1 s vs bare %2 s")
                      .arg(median(t.windowOne), 0, 'f', 3)
                      .arg(median(t.bare), 0, 'f', 3));
    }
    addFigure(QStringLiteral("export"), QStringLiteral("output identical at 1 and all threads"),
              identical ? 1 : 0, QString(), QStringLiteral("= 1"), identical,
              identical ? QStringLiteral("PCM MD5 of every export matches the manifest")
                        : QStringLiteral("differs: ") + mismatches.join(QStringLiteral(", ")));
}

void benchSeek(Rig &rig, const QString &file)
{
    rig.open({file});
    const int row = rig.rowCount() - 1;
    rig.play(row);
    pumpFor(300);
    const audio::StreamHandle stream = rig.rowStream(row);
    const int64_t length = rig.engine.ChannelGetLength(stream, audio::kPosByte);
    constexpr int64_t frameBytes = 4; // the seek file is 16-bit stereo
    std::mt19937 random(9);
    std::vector<double> calls, offsets, lags;
    bool accepted = true;
    long blocked = 0;
    for (int i = 0; i < 25; ++i) {
        const int64_t target =
            int64_t(random() % uint64_t(length / frameBytes - 2 * 44100)) * frameBytes;
        rusage before{}, after{};
        getrusage(RUSAGE_THREAD, &before);
        const int64_t start = monotonicNs();
        accepted = rig.engine.ChannelSetPosition(stream, target, audio::kPosByte) && accepted;
        calls.push_back(secondsSince(start) * 1000);
        getrusage(RUSAGE_THREAD, &after);
        // A voluntary switch means the call blocked (waited for a lock); an
        // involuntary one only that the busy machine ran something else.
        blocked += after.ru_nvcsw - before.ru_nvcsw;
        const int64_t reported = rig.engine.ChannelGetPosition(stream, audio::kPosByte);
        offsets.push_back(double(std::abs(reported - target)) / frameBytes);
        pumpFor(100);
        // How far what is heard trails a playback that had resumed at once.
        const int64_t later = rig.engine.ChannelGetPosition(stream, audio::kPosByte);
        lags.push_back(secondsSince(start) * 1000 -
                       double(later - target) / frameBytes / 44100 * 1000);
    }
    rig.stop();
    rig.select(row);
    rig.button("DeleteToolButton")->click();
    addFigure(QStringLiteral("seek"), QStringLiteral("ChannelSetPosition call, median"),
              median(calls), QStringLiteral("ms"), QStringLiteral("< 5"),
              median(calls) < 5 && accepted,
              QStringLiteral("max %1 ms over %2 seeks; blocked %3 times")
                  .arg(maximum(calls), 0, 'f', 3)
                  .arg(25)
                  .arg(blocked));
    addFigure(QStringLiteral("seek"), QStringLiteral("reported position minus target, max"),
              maximum(offsets), QStringLiteral("frames"),
              QStringLiteral("<= %1").arg(kDeviceBufferFrames),
              maximum(offsets) <= kDeviceBufferFrames);
    addFigure(QStringLiteral("seek"), QStringLiteral("heard position trails the seek by, median"),
              median(lags), QStringLiteral("ms"), QStringLiteral("reported"), std::nullopt,
              QStringLiteral("max %1 ms").arg(maximum(lags), 0, 'f', 1));
}
} // namespace bench
