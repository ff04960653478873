// Benchmarks of the real window (offscreen), the real engine (SDL's dummy
// driver) and the real WAV writer. Prints one table and writes it as JSON.
//
// Figures that compare two things measure both in the same run, interleaved,
// and report the median of the per-run ratios. Measurements that need a
// clean process (memory, start-up, playlist scale, playback cost) run in
// children of this program started with a --child-* mode.
#include "BenchSupport.h"
#include "Manifest.h"
#include "PlayerWindow.h"
#include "ScriptedPrompts.h"
#include "window/PlayerForms.h"
#include "window/Prompts.h"
#include "audio/Decoder.h"
#include "audio/Engine.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QToolButton>
#include <QTreeWidget>
#include <atomic>
#include <cstdio>
#include <optional>
#include <random>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace bench;

namespace {

const QString kData = QStringLiteral(SORVANO_TEST_DATA "/ape");
// The engine asks SDL for this many frames per device buffer.
constexpr int64_t kDeviceBufferFrames = 1024;
// What the writer asks the engine for per block.
constexpr int64_t kBlockBytes = 10000;

rlimit gStartLimit{};
QByteArray gLoadBefore;

// The 1-minute load average: how busy the shared machine was.
QByteArray loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').value(0) : QByteArray("?");
}

struct Figure
{
    QString section;
    QString name;
    double value = 0;
    QString unit;
    QString budget;
    std::optional<bool> pass; // none: reported only
    QString note;
};

std::vector<Figure> gFigures;

void addFigure(const QString &section, const QString &name, double value, const QString &unit,
               const QString &budget, std::optional<bool> pass, const QString &note = {})
{
    gFigures.push_back({section, name, value, unit, budget, pass, note});
    std::fprintf(stderr, "  %-44s %10.3f %-6s %s\n", qPrintable(name), value, qPrintable(unit),
                 pass ? (*pass ? "pass" : "FAIL") : "");
}

[[noreturn]] void fail(const QString &what)
{
    throw std::runtime_error(what.toStdString());
}

QString selfPath()
{
    return QCoreApplication::applicationFilePath();
}

// A real window on a real engine, its dialogs answered by script.
struct Rig : PlayerWindow<audio::Engine>
{
    Rig()
    {
        create();
        if (!showAndWait(*form))
            fail(QStringLiteral("the window was never exposed"));
        if (!prompts.messages.isEmpty())
            fail(QStringLiteral("start-up said: ") + prompts.messages.first().text);
    }

    QToolButton *button(const char *name) const { return child<QToolButton>(name); }
    void open(const QStringList &paths)
    {
        prompts.openAnswers.push_back(paths);
        button("OpenToolButton")->click();
    }
    void play(int row)
    {
        select(row);
        button("PlayToolButton")->click();
        if (form->CurrentIndex() != row)
            fail(QStringLiteral("row %1 did not start playing").arg(row));
    }
    void stop() { button("StopToolButton")->click(); }

    // Exports through the window's own decode path; returns the wall time.
    double decode(const QString &source, const QString &destination)
    {
        QFile::remove(destination);
        prompts.messages.clear();
        prompts.errorReports.clear();
        const int64_t start = monotonicNs();
        form->DecodeFile(source, destination);
        const double seconds = secondsSince(start);
        const QString done = QStringLiteral("Done, the output file is \"%1\".").arg(destination);
        if (!prompts.errorReports.isEmpty())
            fail(QStringLiteral("export failed: ") + prompts.errorReports.first());
        if (prompts.messages.isEmpty() || prompts.messages.last().text != done)
            fail(QStringLiteral("export of %1 did not finish").arg(source));
        return seconds;
    }
};

// Decodes a file to memory in the writer's block size, on the calling
// thread only. Returns the wall time; bytes gets the PCM size.
double bareDecode(const QString &path, int64_t *bytes = nullptr)
{
    const int64_t start = monotonicNs();
    std::string error;
    const auto decoder = audio::openDecoder(QFile::encodeName(path).toStdString(), &error);
    if (!decoder)
        fail(QStringLiteral("cannot open %1: %2").arg(path, QString::fromStdString(error)));
    const int frameBytes = decoder->format().bytesPerFrame();
    const int64_t frames = std::max<int64_t>(1, kBlockBytes / frameBytes);
    std::vector<uint8_t> buffer(size_t(frames * frameBytes));
    int64_t total = 0;
    for (;;) {
        const int64_t n = decoder->read(buffer.data(), frames);
        if (n < 0)
            fail(QStringLiteral("%1 is damaged").arg(path));
        if (n == 0)
            break;
        total += n * frameBytes;
    }
    if (bytes)
        *bytes = total;
    return secondsSince(start);
}

// CPU seconds the bare decoder spends on `audioSeconds` of a file's audio,
// starting over at its end as the looping player does.
double bareDecodeCpu(const QString &path, double audioSeconds)
{
    const double start = cpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    std::string error;
    auto decoder = audio::openDecoder(QFile::encodeName(path).toStdString(), &error);
    if (!decoder)
        fail(QStringLiteral("cannot open %1").arg(path));
    const int64_t want = int64_t(audioSeconds * decoder->format().sampleRate);
    std::vector<uint8_t> buffer(size_t(4096 * decoder->format().bytesPerFrame()));
    int64_t done = 0;
    while (done < want) {
        const int64_t n = decoder->read(buffer.data(), std::min<int64_t>(4096, want - done));
        if (n < 0)
            fail(QStringLiteral("%1 is damaged").arg(path));
        if (n == 0) {
            decoder = audio::openDecoder(QFile::encodeName(path).toStdString(), &error);
            if (!decoder)
                fail(QStringLiteral("cannot reopen %1").arg(path));
            continue;
        }
        done += n;
    }
    return cpuSeconds(CLOCK_THREAD_CPUTIME_ID) - start;
}

struct Fixture
{
    QString path;
    QString label;
    QByteArray md5;
    int level = 0;
    double audioSeconds = 0;
};

QList<Fixture> fixturesIn(const QString &dir, bool levelsOnly)
{
    QList<Fixture> list;
    const Manifest manifest = Manifest::load(dir + QStringLiteral("/manifest.tsv"));
    for (const auto &row : manifest.rows) {
        const QString file = row.value(QStringLiteral("file"));
        if (levelsOnly && !file.startsWith(QStringLiteral("s16-stereo-44k-c")))
            continue;
        Fixture f;
        f.path = dir + QLatin1Char('/') + file;
        f.md5 = row.value(QStringLiteral("pcm_md5")).toLatin1();
        f.level = row.value(QStringLiteral("level")).toInt();
        f.audioSeconds = row.value(QStringLiteral("frames")).toDouble() /
                         row.value(QStringLiteral("rate")).toDouble();
        f.label = QStringLiteral("c%1 %2").arg(f.level).arg(
            f.audioSeconds < 60 ? QStringLiteral("%1 s").arg(qRound(f.audioSeconds))
                                : QStringLiteral("%1 min").arg(qRound(f.audioSeconds / 60)));
        if (QFileInfo::exists(f.path))
            list.append(f);
    }
    return list;
}

// ---------------------------------------------------------------- children

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

// ---------------------------------------------------------------- sections

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

void printTable(double totalSeconds)
{
    std::printf("\n%-44s %14s  %-9s %-4s  %s\n", "figure", "value", "budget", "result", "detail");
    QString section;
    for (const Figure &f : gFigures) {
        if (f.section != section) {
            section = f.section;
            std::printf("-- %s\n", qPrintable(section));
        }
        const QString value = QStringLiteral("%1 %2").arg(f.value, 0, 'f', 3).arg(f.unit);
        std::printf("%-44s %14s  %-9s %-4s  %s\n", qPrintable(f.name), qPrintable(value),
                    qPrintable(f.budget), f.pass ? (*f.pass ? "pass" : "FAIL") : "-",
                    qPrintable(f.note));
    }
    std::printf("(whole run %.0f s; load average before %s, after %s)\n", totalSeconds,
                gLoadBefore.constData(), loadAverage().constData());
}

void writeJson(const QString &path, double totalSeconds)
{
    QJsonArray figures;
    for (const Figure &f : gFigures) {
        QJsonObject o;
        o[QStringLiteral("section")] = f.section;
        o[QStringLiteral("figure")] = f.name;
        o[QStringLiteral("value")] = f.value;
        o[QStringLiteral("unit")] = f.unit;
        o[QStringLiteral("budget")] = f.budget;
        o[QStringLiteral("pass")] = f.pass ? QJsonValue(*f.pass) : QJsonValue();
        o[QStringLiteral("note")] = f.note;
        figures.append(o);
    }
    QJsonObject root;
    root[QStringLiteral("figures")] = figures;
    root[QStringLiteral("seconds")] = totalSeconds;
    root[QStringLiteral("load_before")] = QString::fromLatin1(gLoadBefore);
    root[QStringLiteral("load_after")] = QString::fromLatin1(loadAverage());
    root[QStringLiteral("cores")] = int(std::thread::hardware_concurrency());
    QFile f(path);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(QJsonDocument(root).toJson());
    std::printf("JSON: %s\n", qPrintable(QFileInfo(path).absoluteFilePath()));
}

int usage()
{
    std::fprintf(stderr, "usage: sorvano_bench [--fixtures DIR] [--runs N] [--json FILE] "
                         "[--only SECTION,...]\n"
                         "  DIR holds the 5-minute files and their manifest.tsv\n"
                         "  sections: startup, memory, playlist, playback, export, seek\n");
    return 2;
}

int benchMain(int argc, char **argv)
{
    QString fixtures, json;
    int runs = 5;
    QStringList only;
    for (int i = 1; i < argc; ++i) {
        const QString a = QString::fromLocal8Bit(argv[i]);
        if (i + 1 >= argc)
            return usage();
        const QString v = QString::fromLocal8Bit(argv[++i]);
        if (a == QStringLiteral("--fixtures"))
            fixtures = v;
        else if (a == QStringLiteral("--runs"))
            runs = std::max(5, v.toInt());
        else if (a == QStringLiteral("--json"))
            json = v;
        else if (a == QStringLiteral("--only"))
            only = v.split(QLatin1Char(','));
        else
            return usage();
    }
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    if (json.isEmpty())
        json = QCoreApplication::applicationDirPath() + QStringLiteral("/sorvano_bench.json");
    const auto wanted = [&](const char *s) {
        return only.isEmpty() || only.contains(QString::fromLatin1(s));
    };
    QList<Fixture> big;
    if (!fixtures.isEmpty()) {
        big = fixturesIn(fixtures, false);
        if (big.isEmpty())
            std::fprintf(stderr, "no fixtures with a manifest.tsv in %s\n", qPrintable(fixtures));
    }
    const bool haveFfmpeg =
        runProcess({QStringLiteral("ffmpeg"), QStringLiteral("-version")}).status == 0;
    if (!haveFfmpeg)
        std::fprintf(stderr, "ffmpeg not found: the comparisons with it are skipped\n");
    QTemporaryDir tmp;
    gLoadBefore = loadAverage();
    const int64_t start = monotonicNs();
    try {
        if (wanted("startup")) {
            std::fprintf(stderr, "start-up\n");
            benchStartup(std::max(runs, 7));
        }
        if (wanted("memory")) {
            std::fprintf(stderr, "memory\n");
            benchMemory(big, 3, tmp.path());
        }
        if (wanted("playlist")) {
            std::fprintf(stderr, "playlist\n");
            benchPlaylist(10000);
        }
        if (wanted("playback")) {
            std::fprintf(stderr, "playback\n");
            benchPlayback(runs);
        }
        if (wanted("export") || wanted("seek")) {
            Rig rig;
            if (wanted("export")) {
                std::fprintf(stderr, "export\n");
                benchExport(rig, fixturesIn(kData, true) + big, runs, tmp.path(), haveFfmpeg);
            }
            if (wanted("seek")) {
                std::fprintf(stderr, "seek\n");
                QString seekFile = kData + QStringLiteral("/s16-stereo-44k-long-c2000.ape");
                for (const Fixture &f : big)
                    if (f.level == 2000)
                        seekFile = f.path;
                benchSeek(rig, seekFile);
            }
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "benchmark failed: %s\n", e.what());
        printTable(secondsSince(start));
        return 1;
    }
    const double total = secondsSince(start);
    printTable(total);
    writeJson(json, total);
    bool allPass = true;
    for (const Figure &f : gFigures)
        allPass = allPass && f.pass.value_or(true);
    std::printf("%s\n", allPass ? "every budget met" : "some budgets missed");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    getrlimit(RLIMIT_NOFILE, &gStartLimit);
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    if (!getenv("XDG_RUNTIME_DIR")) {
        // Qt warns in every child without one.
        const QByteArray runtime = "/tmp/sorvano-bench-" + QByteArray::number(getuid());
        mkdir(runtime.constData(), 0700);
        struct stat st
        {
        };
        if (stat(runtime.constData(), &st) == 0 && st.st_uid == getuid() &&
            (st.st_mode & 0777) == 0700)
            setenv("XDG_RUNTIME_DIR", runtime.constData(), 1);
    }
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    int status = 0;
    try {
        int childArgc = 1;
        if (mode == QStringLiteral("--child-startup"))
            status = childStartup(childArgc, argv);
        else if (mode == QStringLiteral("--child-export") && argc == 4)
            status = childExport(childArgc, argv, QString::fromLocal8Bit(argv[2]),
                                 QString::fromLocal8Bit(argv[3]));
        else if (mode == QStringLiteral("--child-playlist") && argc == 3)
            status = childPlaylist(childArgc, argv, std::max(2, std::atoi(argv[2])));
        else if (mode == QStringLiteral("--child-play") && argc == 5)
            status = childPlay(childArgc, argv, QString::fromLocal8Bit(argv[2]), std::atof(argv[3]),
                               std::max(1, std::atoi(argv[4])));
        else if (mode.startsWith(QStringLiteral("--child")))
            status = usage();
        else
            return benchMain(argc, argv);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "%s: %s\n", argv[1], e.what());
        status = 1;
    }
    std::fwrite(gChildOutput.constData(), 1, size_t(gChildOutput.size()), stdout);
    return status;
}
