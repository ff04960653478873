// The sections measured in children of this program: start-up, memory,
// playlist scale and playback cost.
#include "SorvanoBench.h"

#include <QFileInfo>
#include <cstdio>
#include <thread>
#include <vector>

namespace bench {

QMap<QString, QString> runChild(const QStringList &arguments)
{
    const ProcessResult r = runProcess(QStringList{selfPath()} + arguments);
    if (r.status != 0)
        fail(QStringLiteral("child %1 failed").arg(arguments.join(QLatin1Char(' '))));
    return parseFields(r.output);
}

void benchStartup(int runs)
{
    std::vector<double> ms, rss;
    for (int i = 0; i < runs; ++i) {
        const ProcessResult r = runProcess({selfPath(), QStringLiteral("--child-startup")});
        const auto fields = parseFields(r.output);
        if (r.status != 0 || !fields.contains(QStringLiteral("shown_ns")))
            fail(QStringLiteral("start-up child failed"));
        ms.push_back((fields.value(QStringLiteral("shown_ns")).toDouble() - double(r.startNs)) /
                     1e6);
        rss.push_back(fields.value(QStringLiteral("idle_rss_kb")).toDouble() / 1024);
    }
    addFigure(QStringLiteral("start-up"), QStringLiteral("start to window shown, median"),
              median(ms), QStringLiteral("ms"), QStringLiteral("< 300"), median(ms) < 300,
              QStringLiteral("max %1 ms over %2 runs").arg(maximum(ms), 0, 'f', 1).arg(runs));
    addFigure(QStringLiteral("start-up"), QStringLiteral("idle RSS"), median(rss),
              QStringLiteral("MiB"), QStringLiteral("reported"), std::nullopt);
}

// Each 5-minute file against the 3-second fixture of its level, so both
// decode with the same frame length. Peak RSS hardly varies between runs:
// three runs suffice.
void benchMemory(const QList<Fixture> &big, int runs, const QString &tmp)
{
    if (big.isEmpty()) {
        std::fprintf(stderr, "  no 5-minute files; memory figures skipped\n");
        return;
    }
    const QString out = tmp + QStringLiteral("/memory.wav");
    const auto peakOf = [&](const QString &source) {
        return runChild({QStringLiteral("--child-export"), source, out})
                   .value(QStringLiteral("hwm_kb"))
                   .toDouble() /
               1024;
    };
    for (const Fixture &f : big) {
        const QString small = kData + QStringLiteral("/s16-stereo-44k-c%1.ape").arg(f.level);
        if (!QFileInfo::exists(small))
            continue;
        std::vector<double> smallPeak, bigPeak, diff;
        for (int i = 0; i < runs; ++i) {
            smallPeak.push_back(peakOf(small));
            bigPeak.push_back(peakOf(f.path));
            diff.push_back(bigPeak.back() - smallPeak.back());
        }
        const double d = median(diff);
        addFigure(QStringLiteral("memory"),
                  QStringLiteral("export peak RSS, %1 minus 3 s").arg(f.label), d,
                  QStringLiteral("MiB"), QStringLiteral("<= 8"), d <= 8,
                  QStringLiteral("peaks %1 / %2 MiB")
                      .arg(median(bigPeak), 0, 'f', 1)
                      .arg(median(smallPeak), 0, 'f', 1));
    }
    QFile::remove(out);
}

void benchPlaylist(int rows)
{
    const auto f = runChild({QStringLiteral("--child-playlist"), QString::number(rows)});
    const auto v = [&](const char *k) { return f.value(QString::fromLatin1(k)).toDouble(); };
    const QString s = QStringLiteral("playlist");
    addFigure(s, QStringLiteral("Open of %1 rows").arg(rows), v("open_seconds"),
              QStringLiteral("s"), QStringLiteral("< 10"), v("open_seconds") < 10);
    addFigure(s, QStringLiteral("RSS growth per row"), v("rss_growth_kb_per_row"),
              QStringLiteral("KiB"), QStringLiteral("< 16"), v("rss_growth_kb_per_row") < 16);
    addFigure(s, QStringLiteral("open descriptors above start"), v("fd_growth"), QString(),
              QStringLiteral("<= 64"), v("fd_growth") <= 64);
    const double tickRatio = v("tick_many_us") / v("tick_one_us");
    addFigure(s, QStringLiteral("timer tick, %1 rows / 1 row").arg(rows), tickRatio,
              QStringLiteral("x"), QStringLiteral("<= 1.5"), tickRatio <= 1.5,
              QStringLiteral("%1 / %2 us")
                  .arg(v("tick_many_us"), 0, 'f', 2)
                  .arg(v("tick_one_us"), 0, 'f', 2));
    addFigure(s, QStringLiteral("Delete of a middle row, median"), v("delete_ms_median"),
              QStringLiteral("ms"), QStringLiteral("< 10"), v("delete_ms_median") < 10,
              QStringLiteral("max %1 ms").arg(v("delete_ms_max"), 0, 'f', 2));
    addFigure(s, QStringLiteral("descriptor limit unchanged"), v("limit_same"), QString(),
              QStringLiteral("= 1"), v("limit_same") == 1,
              QStringLiteral("soft limit %1").arg(v("limit_soft")));
}

void benchPlayback(int runs)
{
    const QList<Fixture> levels = fixturesIn(kData, true);
    constexpr double kSeconds = 10;
    // Every level plays at once, each in its own process, while this
    // process measures the bare decoder between them.
    std::vector<std::thread> waiters;
    std::vector<QMap<QString, QString>> fields(size_t(levels.size()));
    std::vector<int> statuses(size_t(levels.size()), -1);
    for (int i = 0; i < levels.size(); ++i) {
        waiters.emplace_back([&, i] {
            const ProcessResult r =
                runProcess({selfPath(), QStringLiteral("--child-play"), levels[i].path,
                            QString::number(kSeconds), QString::number(std::max(runs, 5))});
            statuses[size_t(i)] = r.status;
            fields[size_t(i)] = parseFields(r.output);
        });
    }
    std::vector<std::vector<double>> bare(size_t(levels.size()));
    for (int r = 0; r < runs; ++r)
        for (int i = 0; i < levels.size(); ++i)
            bare[size_t(i)].push_back(bareDecodeCpu(levels[i].path, kSeconds) / kSeconds);
    for (std::thread &t : waiters)
        t.join();
    for (int i = 0; i < levels.size(); ++i) {
        const auto &f = fields[size_t(i)];
        if (statuses[size_t(i)] != 0)
            fail(QStringLiteral("playback child for %1 failed").arg(levels[i].label));
        const double cpu = f.value(QStringLiteral("cpu_seconds")).toDouble();
        const double audio = f.value(QStringLiteral("audio_seconds")).toDouble();
        const double share = f.value(QStringLiteral("share_median")).toDouble();
        const double bareCpu = median(bare[size_t(i)]) * audio;
        const double ratio = cpu / bareCpu;
        const QString level = QStringLiteral("c%1").arg(levels[i].level);
        addFigure(QStringLiteral("playback"),
                  QStringLiteral("play %1: CPU / bare decoder CPU").arg(level), ratio,
                  QStringLiteral("x"), QStringLiteral("< 2"), ratio < 2,
                  QStringLiteral("%1 s CPU for %2 s of audio; bare %3 s")
                      .arg(cpu, 0, 'f', 3)
                      .arg(audio, 0, 'f', 2)
                      .arg(bareCpu, 0, 'f', 3));
        addFigure(QStringLiteral("playback"),
                  QStringLiteral("play %1: share of one core").arg(level), share * 100,
                  QStringLiteral("%"), QStringLiteral("< 5"), share < 0.05);
    }
}
} // namespace bench
