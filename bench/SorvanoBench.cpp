// Benchmarks of the real window (offscreen), the real engine (SDL's dummy
// driver) and the real WAV writer. Prints one table and writes it as JSON.
//
// Figures that compare two things measure both in the same run, interleaved,
// and report the median of the per-run ratios. Measurements that need a
// clean process (memory, start-up, playlist scale, playback cost) run in
// children of this program started with a --child-* mode.
#include "SorvanoBench.h"
#include "BenchSupport.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <cstdio>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace bench;

namespace {

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

} // namespace

namespace bench {

rlimit gStartLimit{};

void addFigure(const QString &section, const QString &name, double value, const QString &unit,
               const QString &budget, std::optional<bool> pass, const QString &note)
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

} // namespace bench

namespace {

QByteArray gLoadBefore;

// The 1-minute load average: how busy the shared machine was.
QByteArray loadAverage()
{
    QFile f(QStringLiteral("/proc/loadavg"));
    return f.open(QIODevice::ReadOnly) ? f.readAll().split(' ').value(0) : QByteArray("?");
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
    std::fprintf(stderr,
                 "usage: sorvano_bench [--fixtures DIR] [--runs N] [--json FILE] "
                 "[--only SECTION,...]\n"
                 "  DIR holds the 5-minute files and their manifest.tsv\n"
                 "  sections: startup, memory, playlist, playback, export, seek, album, verify,\n"
                 "            gapless\n");
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
        if (wanted("gapless")) {
            std::fprintf(stderr, "gapless\n");
            benchGapless(runs);
        }
        if (wanted("album")) {
            std::fprintf(stderr, "album\n");
            benchAlbum(runs, tmp.path());
        }
        if (wanted("export") || wanted("seek") || wanted("verify")) {
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
            if (wanted("verify")) {
                std::fprintf(stderr, "verify\n");
                benchVerify(rig, big, runs, tmp.path());
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
