// The reference the window's figures are compared with: the fixtures of a
// folder, and the decoder alone on the calling thread.
#include "Manifest.h"
#include "SorvanoBench.h"
#include "audio/Decoder.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <vector>

namespace bench {

double bareDecode(const QString &path, int64_t *bytes)
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

} // namespace bench
