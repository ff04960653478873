// The gapless advance on a real window: the samples between two rows as the
// mixer writes them, what a transition costs in CPU, and how long after it
// the window names the new row.
#include "SorvanoBench.h"

#include <QCheckBox>
#include <algorithm>
#include <mutex>
#include <sys/resource.h>
#include <vector>

namespace bench {

namespace {

// Decoded 16-bit stereo frames of a file, as floats the way the device gets them.
std::vector<float> referenceOf(audio::Engine &engine, const QString &path)
{
    const std::u16string wide = path.toStdU16String();
    const audio::StreamHandle d = engine.ApeStreamCreateFile(
        false, wide.c_str(), 0, 0, audio::kFlagUnicodePath | audio::kFlagDecodeOnly);
    std::vector<float> out;
    std::vector<int16_t> block(5000);
    while (d != 0 && engine.ChannelIsActive(d) != audio::kActiveStopped) {
        const uint32_t n = engine.ChannelGetData(d, block.data(), 10000);
        if (n == audio::kDataError)
            break;
        for (uint32_t i = 0; i < n / 2; ++i)
            out.push_back(block[i] / 32768.0f);
    }
    engine.StreamFree(d);
    return out;
}

double processCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 +
           (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// Where `part` starts in `all`, frames of `channels` samples; -1 when nowhere.
int64_t findFrames(const std::vector<float> &all, const float *part, int64_t frames)
{
    const auto it = std::search(all.begin(), all.end(), part, part + frames * 2);
    if (it == all.end())
        return -1;
    const int64_t at = it - all.begin();
    return at % 2 == 0 ? at / 2 : -1;
}

} // namespace

void benchGapless(int runs)
{
    // Two rows in the device's format, so the join is exact.
    const QString first = kData + QStringLiteral("/s16-stereo-44k-c2000.ape");
    const QString second = kData + QStringLiteral("/s16-stereo-44k-fullscale-c2000.ape");
    Rig rig;
    const std::vector<float> a = referenceOf(rig.engine, first);
    const std::vector<float> b = referenceOf(rig.engine, second);
    if (a.size() < 2 * 44100 || b.size() < 2 * 44100)
        fail(QStringLiteral("the gapless fixtures did not decode"));

    struct Callback
    {
        int64_t firstFrame;
        int64_t ns;
    };
    std::mutex mutex;
    std::vector<float> mixed;
    std::vector<Callback> callbacks;
    mixed.reserve(44100 * 2 * 4);
    callbacks.reserve(512);
    rig.engine.setMixTap([&](const float *samples, int frames) {
        std::lock_guard lock(mutex);
        callbacks.push_back({int64_t(mixed.size() / 2), monotonicNs()});
        mixed.insert(mixed.end(), samples, samples + frames * 2);
    });

    rig.open({first, second});
    std::vector<double> gaps, cpu, steadyCpu, updates;
    for (int run = 0; run < runs; ++run) {
        {
            std::lock_guard lock(mutex);
            mixed.clear();
            callbacks.clear();
        }
        rig.play(0);
        const audio::StreamHandle stream = rig.rowStream(0);
        const int64_t length = rig.engine.ChannelGetLength(stream, audio::kPosByte);
        // A second of steady playback, then the last second with its join.
        pumpFor(200);
        double before = processCpuMs();
        pumpFor(600);
        steadyCpu.push_back(processCpuMs() - before);
        rig.engine.ChannelSetPosition(stream, length - 44100 / 4 * 4 * 2, audio::kPosByte);
        {
            std::lock_guard lock(mutex);
            mixed.clear();
            callbacks.clear();
        }
        int64_t updatedNs = 0;
        const QMetaObject::Connection watch =
            QObject::connect(rig.form.get(), &TPlayerForm::MediaPlayerChanged, [&] {
                if (!updatedNs && rig.form->CurrentIndex() == 1)
                    updatedNs = monotonicNs();
            });
        before = processCpuMs();
        const int64_t waitStart = monotonicNs();
        while (!updatedNs && secondsSince(waitStart) < 5)
            pumpFor(5);
        pumpFor(300);
        const double spent = processCpuMs() - before;
        const double wallMs = secondsSince(waitStart) * 1000;
        QObject::disconnect(watch);
        if (!updatedNs)
            fail(QStringLiteral("the window never moved on to the queued row"));
        // Beyond what playing costs over the same time: the join's own share.
        cpu.push_back(spent - steadyCpu.back() / 600.0 * wallMs);

        std::lock_guard lock(mutex);
        const int64_t tail = findFrames(mixed, a.data() + a.size() - 4096 * 2, 4096);
        const int64_t head = findFrames(mixed, b.data(), 4096);
        if (tail < 0 || head < 0)
            fail(QStringLiteral("the rows' samples were not mixed as they are"));
        gaps.push_back(double(head - (tail + 4096)));
        // When the callback that wrote the new row's first frame ran.
        int64_t joinNs = 0;
        for (const Callback &c : callbacks)
            if (c.firstFrame <= head)
                joinNs = c.ns;
        updates.push_back((updatedNs - joinNs) / 1e6);
        rig.stop();
    }
    rig.engine.setMixTap({});
    addFigure(QStringLiteral("gapless"), QStringLiteral("frames between two rows, max"),
              maximum(gaps), QStringLiteral("frames"), QStringLiteral("== 0"), maximum(gaps) == 0,
              QStringLiteral("16-bit stereo 44100 Hz rows, %1 joins").arg(runs));
    addFigure(
        QStringLiteral("gapless"), QStringLiteral("CPU of a join beyond playing, median"),
        median(cpu), QStringLiteral("ms"), QStringLiteral("< 30"), median(cpu) < 30,
        QStringLiteral("steady playback: %1 ms CPU per 600 ms").arg(median(steadyCpu), 0, 'f', 1));
    addFigure(QStringLiteral("gapless"),
              QStringLiteral("join to the window naming the row, median"), median(updates),
              QStringLiteral("ms"), QStringLiteral("< 150"), median(updates) < 150,
              QStringLiteral("max %1 ms").arg(maximum(updates), 0, 'f', 1));
}

} // namespace bench
