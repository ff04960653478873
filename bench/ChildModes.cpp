// The --child-* modes: each measures in a fresh process of its own, so
// nothing the parent loaded or allocated counts.
#include "SorvanoBench.h"
#include "window/Prompts.h"

#include <QApplication>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <unistd.h>
#include <vector>

namespace bench {

QByteArray gChildOutput;

void emitField(const char *key, double value)
{
    gChildOutput += QByteArray(key) + '=' + QByteArray::number(value, 'g', 12) + '\n';
}

int childStartup(int argc, char **argv)
{
    // The steps of the program's main() up to the window on screen (its
    // signal handlers aside, which cost microseconds).
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    QGuiApplication::setDesktopFileName(QStringLiteral("sorvano"));
    audio::Engine engine;
    DesktopPrompts prompts;
    TPlayerForm form(engine, prompts);
    if (form.StartupAborted() || !showAndWait(form))
        return 1;
    emitField("shown_ns", double(monotonicNs()));
    pumpFor(1000);
    emitField("idle_rss_kb", double(statusKb("VmRSS")));
    return 0;
}

int childExport(int argc, char **argv, const QString &source, const QString &destination)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    Rig rig;
    emitField("before_hwm_kb", double(statusKb("VmHWM")));
    rig.decode(source, destination);
    emitField("hwm_kb", double(statusKb("VmHWM")));
    return 0;
}

// Median cost of one timer tick in microseconds.
double tickMicroseconds(TPlayerForm &form)
{
    std::vector<double> batches;
    for (int b = 0; b < 9; ++b) {
        const int64_t start = monotonicNs();
        for (int i = 0; i < 200; ++i)
            form.TimerTimer();
        batches.push_back(secondsSince(start) * 1e6 / 200);
    }
    return median(batches);
}

int childPlaylist(int argc, char **argv, int rows)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    QTemporaryDir dir;
    QStringList sources;
    for (const Fixture &f : fixturesIn(kData, true)) {
        const QString copy = dir.filePath(QFileInfo(f.path).fileName());
        if (!QFile::copy(f.path, copy))
            fail(QStringLiteral("cannot copy ") + f.path);
        sources << copy;
    }
    if (sources.isEmpty())
        fail(QStringLiteral("no level fixtures"));
    QStringList paths;
    for (int i = 0; i < rows; ++i) {
        const QString path =
            dir.filePath(QStringLiteral("row%1.ape").arg(i, 5, 10, QLatin1Char('0')));
        if (::link(QFile::encodeName(sources[i % sources.size()]).constData(),
                   QFile::encodeName(path).constData()) != 0)
            fail(QStringLiteral("cannot link ") + path);
        paths << path;
    }

    Rig rig;
    rig.open({paths.first()});
    rig.play(0);
    const double tickOne = tickMicroseconds(*rig.form);
    rig.stop();
    pumpFor(200);

    const long rssBefore = statusKb("VmRSS");
    const int fdsBefore = openDescriptors();
    const int64_t start = monotonicNs();
    rig.open(paths.mid(1));
    QCoreApplication::processEvents();
    const double seconds = secondsSince(start);
    if (rig.rowCount() != rows || !rig.prompts.messages.isEmpty())
        fail(QStringLiteral("the playlist has %1 rows, %2 messages")
                 .arg(rig.rowCount())
                 .arg(rig.prompts.messages.size()));
    pumpFor(200);
    const long rssAfter = statusKb("VmRSS");
    const int fdsAfter = openDescriptors();

    rig.play(rows - 1);
    const double tickMany = tickMicroseconds(*rig.form);
    rig.stop();

    std::vector<double> deletes;
    for (int i = 0; i < 9; ++i) {
        const int before = rig.rowCount();
        rig.select(before / 2);
        const int64_t t = monotonicNs();
        rig.button("DeleteToolButton")->click();
        QCoreApplication::processEvents();
        deletes.push_back(secondsSince(t) * 1000);
        if (rig.rowCount() != before - 1)
            fail(QStringLiteral("Delete did not remove the row"));
    }
    rlimit after{};
    getrlimit(RLIMIT_NOFILE, &after);

    emitField("open_seconds", seconds);
    emitField("rss_growth_kb_per_row", double(rssAfter - rssBefore) / (rows - 1));
    emitField("fd_growth", fdsAfter - fdsBefore);
    emitField("tick_one_us", tickOne);
    emitField("tick_many_us", tickMany);
    emitField("delete_ms_median", median(deletes));
    emitField("delete_ms_max", maximum(deletes));
    emitField("limit_same",
              after.rlim_cur == gStartLimit.rlim_cur && after.rlim_max == gStartLimit.rlim_max);
    emitField("limit_soft", double(after.rlim_cur));
    return 0;
}

int childPlay(int argc, char **argv, const QString &file, double seconds, int windows)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    Rig rig;
    std::atomic<int64_t> mixed{0};
    rig.engine.setMixTap([&mixed](const float *, int frames) { mixed += frames; });
    rig.open({file});
    rig.play(0);
    pumpFor(500);

    std::vector<double> shares;
    const int64_t mixedStart = mixed;
    const double cpuStart = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const int64_t wallStart = monotonicNs();
    for (int w = 0; w < windows; ++w) {
        const double c = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
        const int64_t t = monotonicNs();
        pumpFor(int(seconds * 1000 / windows));
        shares.push_back((cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - c) / secondsSince(t));
    }
    const double wall = secondsSince(wallStart);
    const double cpu = cpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
    const double audio = double(mixed - mixedStart) / rig.engine.outputRate();
    if (rig.form->CurrentIndex() != 0)
        fail(QStringLiteral("playback did not go on looping"));
    rig.stop();
    emitField("share_median", median(shares));
    emitField("cpu_seconds", cpu);
    emitField("wall_seconds", wall);
    emitField("audio_seconds", audio);
    return 0;
}
} // namespace bench
