#include "DecodedPcm.h"

#include "audio/Decoder.h"

#include <algorithm>
#include <memory>
#include <string>

QByteArray decodedStereo16(const QString &path, int64_t first, int64_t end)
{
    constexpr int kFrameBytes = 4;
    std::string error;
    std::unique_ptr<audio::Decoder> d = audio::openDecoder(path.toStdString(), &error);
    if (!d || d->format().bytesPerFrame() != kFrameBytes || d->format().channels != 2 ||
        !d->seek(first))
        return {};
    if (end < 0)
        end = d->totalFrames();
    QByteArray pcm(static_cast<qsizetype>((end - first) * kFrameBytes), 0);
    int64_t done = 0;
    while (done < end - first) {
        const int64_t n = d->read(reinterpret_cast<uint8_t *>(pcm.data()) + done * kFrameBytes,
                                  std::min<int64_t>(4096, end - first - done));
        if (n <= 0)
            return {};
        done += n;
    }
    return pcm;
}
