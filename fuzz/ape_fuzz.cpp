// libFuzzer target: the input bytes are a whole file for the native decoder,
// which is opened, read through, and seeked.
#include "audio/ape/ApeDecoder.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const int fd = memfd_create("ape_fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        return 0;

    std::string error;
    // Half the inputs go through the decode-ahead workers.
    audio::DecoderOptions options;
    options.workerThreads = size % 2 ? 2 : 0;
    auto d = ape::openNativeDecoder(path, &error, options);
    if (!d)
        return 0;
    const int64_t total = d->totalFrames();
    const int bpf = d->format().bytesPerFrame();
    if (total <= 0 || bpf <= 0)
        __builtin_trap();
    std::vector<uint8_t> buf(size_t(4096) * size_t(bpf));
    int64_t delivered = 0;
    // Read to the end, skipping damaged frames as a playback stream would.
    for (int guard = 0; guard < 100000; ++guard) {
        const int64_t n = d->read(buf.data(), 4096);
        if (n == 0)
            break;
        if (n < 0) {
            const int64_t skip = d->damagedFrames();
            if (skip <= 0)
                break;
            d->seek(delivered + skip);
            delivered += skip;
            continue;
        }
        delivered += n;
    }
    if (delivered > total)
        __builtin_trap();
    if (total > 1 && d->seek(total / 2))
        d->read(buf.data(), 16);
    return 0;
}
