// The native APE decoder against FFmpeg's own in-process decode, side by
// side in one run: decode speed per compression level on one thread and on
// every core, the peak memory of a decode on a short and a long file, and
// identical output whatever the thread count.
//
//   ape_decoder_bench [--runs N] [--json FILE] [BENCH_FOLDER]
//
// BENCH_FOLDER holds long encodes (long-c2000.ape ...); without it (or when
// it is missing) only the level fixtures of the repository are measured.
#include "DecoderRuns.h"
#include "audio/ape/ApeDecoder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <cstdlib>
#include <ctime>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace fs = std::filesystem;
using namespace decoderbench;

namespace {

using Clock = std::chrono::steady_clock;

// Short files are decoded this many times over per timed sample.
constexpr double kMinSampleSeconds = 0.25;

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double threadSeconds()
{
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

// Wall-clock time, and the processor time of the calling thread: on a
// machine shared with other work the latter is the fairer measure of a
// one-thread decode, the former the only measure of one on every core.
struct Times
{
    double wall = -1;
    double cpu = -1;
};

template <typename F> Times timed(F &&f, int reps)
{
    const auto start = Clock::now();
    const double cpu = threadSeconds();
    for (int i = 0; i < reps; ++i)
        if (!f())
            return {};
    return {std::chrono::duration<double>(Clock::now() - start).count(), threadSeconds() - cpu};
}

double medianOf(const std::vector<Times> &v, double Times::*field)
{
    std::vector<double> x;
    for (const Times &t : v)
        x.push_back(t.*field);
    return median(x);
}

struct Case
{
    std::string label;
    fs::path path;
    int level = 0;
    std::string expectedMd5;
};

struct Row
{
    std::string name;
    std::string figure;
    std::string budget;
    bool pass = false;
    double value = 0;
    double limit = 0;
};

std::string fmt(const char *f, double a, double b = 0, double c = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, f, a, b, c);
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--peak") == 0)
        return peakMode(argv[2], argv[3]);
    // One FFmpeg decode alone, for profiling it beside the native one.
    if (argc == 3 && std::strcmp(argv[1], "--ffmpeg") == 0)
        return decodeFfmpeg(argv[2]).ok ? 0 : 1;

    int runs = 5;
    std::string jsonPath;
    fs::path benchDir;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--runs" && i + 1 < argc)
            runs = std::max(5, std::atoi(argv[++i]));
        else if (a == "--json" && i + 1 < argc)
            jsonPath = argv[++i];
        else if (a == "-h" || a == "--help") {
            std::printf("usage: %s [--runs N (at least 5)] [--json FILE] [BENCH_FOLDER]\n",
                        argv[0]);
            return 0;
        } else
            benchDir = a;
    }
    if (benchDir.empty())
        benchDir = SORVANO_BENCH_FIXTURES;
    const fs::path levelDir = SORVANO_LEVEL_FIXTURES;
    const fs::path self = fs::canonical("/proc/self/exe");
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    av_log_set_level(AV_LOG_ERROR);

    std::vector<Case> cases;
    const auto levelMd5 = manifestMd5(levelDir);
    for (int level = 1000; level <= 5000; level += 1000) {
        const std::string name = "s16-stereo-44k-c" + std::to_string(level) + ".ape";
        if (fs::exists(levelDir / name))
            cases.push_back({"3 s, " + std::to_string(level), levelDir / name, level,
                             levelMd5.count(name) ? levelMd5.at(name) : ""});
    }
    bool haveLong = false;
    if (fs::is_directory(benchDir)) {
        const auto longMd5 = manifestMd5(benchDir);
        for (int level = 1000; level <= 5000; level += 1000) {
            const std::string name = "long-c" + std::to_string(level) + ".ape";
            if (fs::exists(benchDir / name)) {
                cases.push_back({"5 min, " + std::to_string(level), benchDir / name, level,
                                 longMd5.count(name) ? longMd5.at(name) : ""});
                haveLong = true;
            }
        }
    }
    if (!haveLong)
        std::printf("No long files in %s: measuring the level fixtures only.\n", benchDir.c_str());
    if (cases.empty()) {
        std::fprintf(stderr, "no fixtures found in %s\n", levelDir.c_str());
        return 2;
    }

    std::vector<Row> rows;
    bool allPass = true;

    // Output first: every thread count gives the same PCM, and it is the
    // manifest's.
    for (const Case &c : cases) {
        const Output one = decodeNative(c.path, 0, true);
        const Output many = decodeNative(c.path, cores, true);
        const bool same = one.ok && many.ok && one.md5 == many.md5 &&
                          (c.expectedMd5.empty() || one.md5 == c.expectedMd5);
        rows.push_back({"identical output, 1 and " + std::to_string(cores) + " threads: " + c.label,
                        same ? "same" : "DIFFERENT", "same, = manifest MD5", same});
    }

    // Speed: each timed sample decodes the file `reps` times; the order of the
    // contenders alternates from run to run.
    std::printf("Timing %zu files, %d interleaved runs each...\n", cases.size(), runs);
    std::fflush(stdout);
    for (const Case &c : cases) {
        // Frames are what the cores share, so a file of one or two frames
        // says nothing about them.
        const bool parallel = c.level == 5000 && apeFrames(c.path) >= uint32_t(4 * cores);
        const double once = timed([&] { return decodeFfmpeg(c.path).ok; }, 1).wall;
        const int reps = once > 0 ? std::max(1, int(kMinSampleSeconds / once + 0.5)) : 1;
        std::vector<Times> native, ffmpeg, all;
        for (int r = 0; r < runs; ++r) {
            auto n1 = [&] {
                native.push_back(timed([&] { return decodeNative(c.path, 0, false).ok; }, reps));
            };
            auto ff = [&] {
                ffmpeg.push_back(timed([&] { return decodeFfmpeg(c.path).ok; }, reps));
            };
            auto nn = [&] {
                if (parallel)
                    all.push_back(
                        timed([&] { return decodeNative(c.path, cores, false).ok; }, reps));
            };
            if (r % 2) {
                ff();
                nn();
                n1();
            } else {
                n1();
                ff();
                nn();
            }
        }
        const double cn = medianOf(native, &Times::cpu) / reps;
        const double cf = medianOf(ffmpeg, &Times::cpu) / reps;
        const double wn = medianOf(native, &Times::wall) / reps;
        const double wf = medianOf(ffmpeg, &Times::wall) / reps;
        const double limit = c.level >= 4000 ? 0.65 : 0.9;
        const double ratio = cn / cf;
        const bool ok = cn > 0 && cf > 0 && ratio <= limit;
        rows.push_back({"one thread vs FFmpeg (cpu): " + c.label,
                        fmt("%.3fx (%.1f vs %.1f ms cpu)", ratio, cn * 1000, cf * 1000) +
                            fmt(", wall %.3fx", wn / wf),
                        fmt("<= %.2fx", limit), ok, ratio, limit});
        if (parallel) {
            const double wa = medianOf(all, &Times::wall) / reps;
            const double r2 = wa / wf;
            rows.push_back({std::to_string(cores) + " threads vs FFmpeg (wall): " + c.label,
                            fmt("%.3fx (%.1f vs %.1f ms wall)", r2, wa * 1000, wf * 1000),
                            "<= 0.35x", wa > 0 && r2 <= 0.35, r2, 0.35});
        }
    }

    // Wider samples and more channels, each against the path today's files
    // take at the same level. Fixtures differ in rate, so the budgets compare
    // time per channel and sample (a 96 kHz second holds twice a 48 kHz one).
    {
        struct Wide
        {
            std::string what;
            std::string file;
            std::string reference; // empty for a reference
            double budget = 0;
        };
        std::vector<Wide> wides;
        for (const std::string level : {"2000", "5000"}) {
            const std::string s24 = "s24-stereo-96k-c" + level + ".ape";
            const std::string s16 = "s16-stereo-44k-c" + level + ".ape";
            wides.push_back({"16-bit stereo, " + level, s16, "", 0});
            wides.push_back(
                {"6 channels 16-bit, " + level, "m6-s16-48k-c" + level + ".ape", s16, 1.3});
            wides.push_back({"24-bit stereo, " + level, s24, "", 0});
            wides.push_back(
                {"32-bit stereo, " + level, "w32-stereo-48k-c" + level + ".ape", s24, 2});
            wides.push_back(
                {"float stereo, " + level, "f32-stereo-44k-c" + level + ".ape", s24, 2});
        }
        struct Measured
        {
            double channelSeconds = 0; // audio seconds times channels
            double channelSamples = 0;
            std::vector<Times> one, all;
            int reps = 1;
        };
        std::map<std::string, Measured> measured;
        for (const Wide &w : wides) {
            std::string error;
            auto d = ape::openNativeDecoder(levelDir / w.file, &error);
            if (!d)
                continue;
            Measured &m = measured[w.file];
            m.channelSamples = double(d->totalFrames()) * d->format().channels;
            m.channelSeconds = m.channelSamples / d->format().sampleRate;
            const double once =
                timed([&] { return decodeNative(levelDir / w.file, 0, false).ok; }, 1).wall;
            m.reps = once > 0 ? std::max(1, int(kMinSampleSeconds / once + 0.5)) : 1;
        }
        std::printf("Timing %zu wide and reference files, %d interleaved runs each...\n",
                    measured.size(), runs);
        std::fflush(stdout);
        for (int r = 0; r < runs; ++r) {
            // Each run visits the files in another order.
            std::vector<std::string> order;
            for (const auto &[file, m] : measured)
                order.push_back(file);
            std::rotate(order.begin(), order.begin() + r % order.size(), order.end());
            for (const std::string &file : order) {
                Measured &m = measured[file];
                m.one.push_back(
                    timed([&] { return decodeNative(levelDir / file, 0, false).ok; }, m.reps));
                m.all.push_back(
                    timed([&] { return decodeNative(levelDir / file, cores, false).ok; }, m.reps));
            }
        }
        for (const Wide &w : wides) {
            if (!measured.count(w.file))
                continue;
            const Measured &m = measured[w.file];
            const double one = medianOf(m.one, &Times::cpu) / m.reps;
            const double all = medianOf(m.all, &Times::wall) / m.reps;
            const std::string figure = fmt("%.1f channel-s/s; %.0f threads %.1f",
                                           m.channelSeconds / one, cores, m.channelSeconds / all);
            if (w.reference.empty() || !measured.count(w.reference)) {
                rows.push_back(
                    {"one thread and all cores: " + w.what, figure, "reference", one > 0});
                continue;
            }
            const Measured &ref = measured[w.reference];
            const double refOne = medianOf(ref.one, &Times::cpu) / ref.reps;
            const double ratio = (one / m.channelSamples) / (refOne / ref.channelSamples);
            rows.push_back({"one thread and all cores: " + w.what,
                            figure + fmt(", %.2fx the time per sample", ratio),
                            fmt("<= %.1fx", w.budget), one > 0 && ratio <= w.budget, ratio,
                            w.budget});
        }
    }

    // Memory: a decode of a long file peaks no higher than one of a short
    // file at the same level (beyond a little noise).
    {
        const Case *shortest = nullptr, *longest = nullptr;
        for (const Case &c : cases) {
            if (c.level != 2000)
                continue;
            const auto size = fs::file_size(c.path);
            if (!shortest || size < fs::file_size(shortest->path))
                shortest = &c;
            if (!longest || size > fs::file_size(longest->path))
                longest = &c;
        }
        if (shortest && longest && shortest != longest) {
            for (int threads : {0, cores}) {
                const auto a = peakKiB(self, shortest->path, threads);
                const auto b = peakKiB(self, longest->path, threads);
                const double growth = a && b ? double(*b - *a) / 1024.0 : 1e9;
                const bool ok = a && b && growth <= 2.0;
                rows.push_back({"peak memory, " + std::to_string(threads ? threads : 1) +
                                    " thread(s): " + longest->label + " vs " + shortest->label,
                                a && b ? fmt("%.1f MiB vs %.1f MiB", *b / 1024.0, *a / 1024.0)
                                       : std::string("not measured"),
                                "grows <= 2 MiB", ok, growth, 2.0});
            }
        }
    }

    size_t width = 0;
    for (const Row &r : rows)
        width = std::max(width, r.name.size());
    std::printf("\n%-*s  %-48s  %-22s  %s\n", int(width), "measure", "figure", "budget", "result");
    for (const Row &r : rows) {
        std::printf("%-*s  %-48s  %-22s  %s\n", int(width), r.name.c_str(), r.figure.c_str(),
                    r.budget.c_str(), r.pass ? "pass" : "FAIL");
        allPass = allPass && r.pass;
    }
    double load[3] = {0, 0, 0};
    ::getloadavg(load, 3);
    std::printf("\n%d cores, load average %.2f; medians of %d interleaved runs. One-thread "
                "ratios are of the decoding thread's processor time (wall-clock beside them), "
                "all-core ratios of wall-clock time.\n",
                cores, load[0], runs);

    if (!jsonPath.empty()) {
        std::ofstream json(jsonPath);
        json << "{\n  \"cores\": " << cores << ",\n  \"runs\": " << runs << ",\n  \"rows\": [\n";
        for (size_t i = 0; i < rows.size(); ++i) {
            const Row &r = rows[i];
            json << "    {\"measure\": \"" << r.name << "\", \"figure\": \"" << r.figure
                 << "\", \"budget\": \"" << r.budget
                 << "\", \"pass\": " << (r.pass ? "true" : "false") << "}"
                 << (i + 1 < rows.size() ? "," : "") << "\n";
        }
        json << "  ]\n}\n";
    }
    return allPass ? 0 : 1;
}
