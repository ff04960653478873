#pragma once

#include "AudioEngine.h"
#include "Decoder.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace audio {

// The engine behind IAudioEngine: FFmpeg decoding, libswresample conversion
// and SDL2 output. All IAudioEngine calls come from one thread (the UI);
// decoding for playback runs on a worker thread per playing stream and
// mixing on SDL's audio thread, so no call waits on decoding.
//
// An idle stream holds only its path, format and length; a decoder (and its
// open file) exists only while a stream plays or is a decode-only stream.
class Engine final : public IAudioEngine
{
public:
    Engine();
    ~Engine() override;

    Engine(const Engine &) = delete;
    Engine &operator=(const Engine &) = delete;

    uint32_t GetVersion() override;
    bool Init(int device, uint32_t freq, uint32_t flags, void *window) override;
    bool Free() override;
    StreamHandle ApeStreamCreateFile(bool mem, const void *file, uint64_t offset, uint64_t length,
                                     uint32_t flags) override;
    bool StreamFree(StreamHandle handle) override;
    bool ChannelPlay(StreamHandle handle, bool restart) override;
    bool ChannelStop(StreamHandle handle) override;
    bool ChannelPause(StreamHandle handle) override;
    bool ChannelResume(StreamHandle handle) override;
    int64_t ChannelGetLength(StreamHandle handle, uint32_t mode) override;
    int64_t ChannelGetPosition(StreamHandle handle, uint32_t mode) override;
    bool ChannelSetPosition(StreamHandle handle, int64_t pos, uint32_t mode) override;
    uint32_t ChannelIsActive(StreamHandle handle) override;
    uint32_t ChannelGetData(StreamHandle handle, void *buffer, uint32_t length) override;
    bool ChannelGetInfo(StreamHandle handle, ChannelInfo *info) override;
    bool ChannelGetAttribute(StreamHandle handle, uint32_t attrib, float *value) override;

    // Threads decoding ahead for decode-only streams created from now on; 0
    // means one per core. Lets the benchmarks compare thread counts.
    void setDecodeThreads(int threads) { decodeThreads_ = threads; }

    // Output format of the open device (0 before Init).
    int outputRate() const { return outRate_; }
    int outputChannels() const { return outChannels_; }

    // Sees every mixed block (interleaved float, outputChannels() wide) on the
    // audio thread, right after mixing. Lets tests check what is heard.
    using MixTap = std::function<void(const float *samples, int frames)>;
    void setMixTap(MixTap tap);

    struct Playback;

private:
    struct Stream;

    Stream *find(StreamHandle handle);
    void stopPlayback(Stream &s);
    // Stops playback, keeping the position as far as it was heard.
    void stopWhereHeard(Stream &s);
    // Ends playback of a stream that has played to its end or stopped at
    // damaged data; its position is then its length.
    void settle(Stream &s);
    void reapWorkers(bool all);
    bool openDevice();
    // True when the device plays; reopens it when it has gone away.
    bool ensureDevice();
    // Streams that were playing when the device went away play on, from
    // where they were heard, once a device can be opened again.
    void resumeAfterDeviceLoss();
    void mix(float *out, int frames);
    static void audioCallback(void *userdata, uint8_t *stream, int len);

    bool initialised_ = false;
    uint32_t device_ = 0;
    int requestedRate_ = 44100;
    int outRate_ = 0;
    int outChannels_ = 0;
    int periodFrames_ = 0;
    int decodeThreads_ = 0;
    std::unordered_map<StreamHandle, std::unique_ptr<Stream>> streams_;
    std::unordered_set<StreamHandle> interrupted_;
    std::chrono::steady_clock::time_point nextDeviceTry_{};

    // Shared with the audio thread.
    std::mutex mixMutex_;
    std::vector<std::shared_ptr<Playback>> playing_;
    MixTap tap_;

    // Workers of stopped streams finish on their own; joined later.
    struct Worker
    {
        std::shared_ptr<Playback> playback;
        std::thread thread;
    };
    std::vector<Worker> retired_;
};

} // namespace audio
