#pragma once

#include "AudioEngine.h"
#include "OutputDevice.h"
#include "PlaybackStream.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <unordered_set>

namespace audio {

// The engine behind IAudioEngine: decoding through openDecoder (the native
// decoder for the files it reads, FFmpeg for older versions), libswresample
// conversion to the device's format and SDL2 output. All IAudioEngine calls
// come from one thread (the UI); decoding for playback runs on a worker
// thread per playing stream and mixing on SDL's audio thread, so no call
// waits on decoding.
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
    StreamHandle ApeStreamCreateRange(const void *file, uint32_t flags, int64_t firstFrame,
                                      int64_t endFrame) override;
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
    bool ChannelSetTitle(StreamHandle handle, const char *title) override;
    bool ChannelQueueNext(StreamHandle current, StreamHandle next) override;
    bool ChannelCancelNext(StreamHandle current) override;
    StreamHandle ChannelGetNext(StreamHandle current) override;
    StreamHandle ChannelTakeFollower(StreamHandle handle) override;

    // Threads decoding ahead for decode-only streams created from now on; 0
    // means one per core. Lets the benchmarks compare thread counts.
    void setDecodeThreads(int threads) { decodeThreads_ = threads; }

    // Output format of the open device (0 before Init).
    int outputRate() const { return device_.rate(); }
    int outputChannels() const { return device_.channels(); }

    // Sees every mixed block (interleaved float, outputChannels() wide) on the
    // audio thread, right after mixing. Lets tests check what is heard.
    using MixTap = audio::MixTap;
    void setMixTap(MixTap tap);

private:
    struct Stream;

    StreamHandle create(const void *file, uint32_t flags, int64_t firstFrame, int64_t endFrame);
    Stream *find(StreamHandle handle);
    // A new playback of the stream from `start`, its worker running; null
    // when the file cannot be read as it was.
    std::shared_ptr<PlaybackStream> startPlayback(const Stream &s, int64_t start);
    // Stops playback, and drops what is queued after it.
    void stopPlayback(Stream &s);
    void dropQueued(Stream &s);
    // Drops every queue that would start `next`.
    void dropQueuesOf(StreamHandle next);
    // Makes each queued stream that the mixer has started the playback of
    // its stream, and ends the one it followed. Every call that reads or
    // drives playback does this first.
    void takeOverQueued();
    // Stops playback, keeping the position as far as it was heard.
    void stopWhereHeard(Stream &s);
    // Ends playback of a stream that has played to its end or stopped at
    // damaged data; its position is then its length.
    void settle(Stream &s);
    // True when the device plays; opens a new one when it has gone away.
    bool ensureDevice();
    // Streams that were playing when the device went away play on, from
    // where they were heard, once a device can be opened again.
    void resumeAfterDeviceLoss();

    bool initialised_ = false;
    int decodeThreads_ = 0;
    OutputDevice device_;
    std::unordered_map<StreamHandle, std::unique_ptr<Stream>> streams_;
    // Streams that were playing when the device went away: they play on once
    // a new device opens, and count as playing meanwhile.
    std::unordered_set<StreamHandle> interruptedByDeviceLoss_;
    // Streams with a stream queued after them.
    std::vector<StreamHandle> queuing_;
    PlaybackWorkers workers_;
};

} // namespace audio
