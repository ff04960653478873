// libFuzzer target over the whole engine: the input bytes are a file, opened
// once as a decode-only stream and read to its end, then once as a playback
// stream that is seeked to positions taken from the input's last bytes,
// played for a moment on SDL's dummy driver and freed. Whatever decoder
// openDecoder picks (native or FFmpeg) is exercised the way the window uses it.
#include "audio/Engine.h"

#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace audio;

namespace {

Engine &engine()
{
    static Engine *e = [] {
        setenv("SDL_AUDIODRIVER", "dummy", 1);
        return new Engine;
    }();
    return *e;
}

// A fraction of the length from two bytes, on a whole sample frame.
int64_t positionFrom(const uint8_t *at, int64_t length, int64_t frameBytes)
{
    const int64_t share = (int64_t{at[0]} << 8) | at[1];
    return length * share / 65535 / frameBytes * frameBytes;
}

void decodeToEnd(Engine &e, const char *path)
{
    const StreamHandle h = e.ApeStreamCreateFile(false, path, 0, 0, kFlagDecodeOnly);
    if (h == 0)
        return;
    const int64_t length = e.ChannelGetLength(h, kPosByte);
    if (length < 0)
        __builtin_trap();
    std::vector<uint8_t> block(10000);
    int64_t total = 0;
    for (int guard = 0; e.ChannelIsActive(h) != kActiveStopped; ++guard) {
        // Every call delivers or fails; a stream that does neither would hang
        // the export for ever.
        if (guard > 1000000)
            __builtin_trap();
        const uint32_t n = e.ChannelGetData(h, block.data(), 10000);
        if (n == kDataError)
            break;
        if (n > 10000)
            __builtin_trap();
        total += n;
    }
    if (total > length || e.ChannelGetPosition(h, kPosByte) != total)
        __builtin_trap();
    if (!e.StreamFree(h))
        __builtin_trap();
}

void playAndSeek(Engine &e, const char *path, const uint8_t *data, size_t size)
{
    const StreamHandle h = e.ApeStreamCreateFile(false, path, 0, 0, 0);
    if (h == 0)
        return;
    ChannelInfo info;
    if (!e.ChannelGetInfo(h, &info) || info.chans == 0 || info.bytesPerSample == 0)
        __builtin_trap();
    const int64_t frameBytes = int64_t{info.chans} * info.bytesPerSample;
    const int64_t length = e.ChannelGetLength(h, kPosByte);
    if (length < 0 || length % frameBytes != 0)
        __builtin_trap();
    if (e.ChannelPlay(h, true)) {
        const uint8_t tail[4] = {data[size - 4], data[size - 3], data[size - 2], data[size - 1]};
        e.ChannelSetPosition(h, positionFrom(tail, length, frameBytes), kPosByte);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        e.ChannelSetPosition(h, positionFrom(tail + 2, length, frameBytes), kPosByte);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
        const int64_t position = e.ChannelGetPosition(h, kPosByte);
        if (position < 0 || position > length)
            __builtin_trap();
        e.ChannelIsActive(h);
        e.ChannelStop(h);
        e.ChannelPlay(h, false);
    }
    if (!e.StreamFree(h))
        __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 4)
        return 0;
    static const int fd = memfd_create("engine_fuzz", 0);
    static const std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (fd < 0 || ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size))
        return 0;
    // Init and Free around every input: Free joins the playback workers, so
    // nothing of one input outlives it (libFuzzer's leak check counts on that).
    Engine &e = engine();
    if (!e.Init(-1, 44100, 0, nullptr))
        __builtin_trap();
    decodeToEnd(e, path.c_str());
    playAndSeek(e, path.c_str(), data, size);
    if (!e.Free())
        __builtin_trap();
    return 0;
}
