#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace audio {

class PlaybackStream;

// Sees every mixed block (interleaved float, the device's channels wide) on
// the audio thread, right after mixing.
using MixTap = std::function<void(const float *samples, int frames)>;

// An open SDL audio device, closed by its owner.
class SdlAudioDevice
{
public:
    SdlAudioDevice() = default;
    explicit SdlAudioDevice(uint32_t id) : id_(id) {}
    ~SdlAudioDevice() { reset(); }

    SdlAudioDevice(SdlAudioDevice &&other) noexcept : id_(other.release()) {}
    SdlAudioDevice &operator=(SdlAudioDevice &&other) noexcept;

    uint32_t id() const { return id_; }
    explicit operator bool() const { return id_ != 0; }
    void reset();
    uint32_t release();

private:
    uint32_t id_ = 0;
};

// SDL's output: the default device, opened again when it has gone away, and
// the mixer that plays every playing stream into it on SDL's audio thread.
class OutputDevice
{
public:
    OutputDevice() = default;

    OutputDevice(const OutputDevice &) = delete;
    OutputDevice &operator=(const OutputDevice &) = delete;

    // Starts SDL's audio and opens a device asking for `rate` Hz.
    bool start(int rate);
    // Closes the device and ends SDL's audio.
    void stop();

    // The open device's format (0 before start); SDL converts rate and
    // sample format for the hardware, the channels follow the device.
    int rate() const { return rate_; }
    int channels() const { return channels_; }
    int periodFrames() const { return periodFrames_; }

    bool isOpen() const { return static_cast<bool>(device_); }
    // A device that went away (its sound server died, the sink was removed)
    // reports itself stopped and is never called back again.
    bool lost() const;
    bool plays() const { return isOpen() && !lost(); }
    // Closes the device, if any, and opens a new one.
    bool reopen();
    // Whether to try a new device now. Asked on every tick of the window, a
    // server that is not back yet is not asked again at once, unless the
    // device was lost just now.
    bool retryDue(bool lostNow);

    // The media name the sound server shows for devices opened from now on.
    void setStreamName(std::string name) { streamName_ = std::move(name); }
    const std::string &streamName() const { return streamName_; }
    // No stream is being mixed.
    bool idle();

    void addStream(std::shared_ptr<PlaybackStream> stream);
    void removeStream(const std::shared_ptr<PlaybackStream> &stream);
    // `next` starts on the frame after the last of `current` (one that is
    // being mixed), in the same callback, and then plays as an added stream
    // does; until then it only decodes ahead. Replaces what was queued after
    // current.
    void queueAfter(const std::shared_ptr<PlaybackStream> &current,
                    std::shared_ptr<PlaybackStream> next);
    // Drops what is queued after current, if it has not started yet; false
    // when nothing was still waiting there.
    bool unqueueAfter(const std::shared_ptr<PlaybackStream> &current);
    void setTap(MixTap tap);

private:
    bool open();
    static void audioCallback(void *userdata, uint8_t *stream, int len);
    void mix(float *out, int frames);

    int requestedRate_ = 44100;
    std::string streamName_;
    int rate_ = 0;
    int channels_ = 0;
    int periodFrames_ = 0;
    std::chrono::steady_clock::time_point nextTry_{};

    // Shared with the audio thread.
    std::mutex mixMutex_;
    std::vector<std::shared_ptr<PlaybackStream>> playing_;
    struct Queued
    {
        std::shared_ptr<PlaybackStream> after;
        std::shared_ptr<PlaybackStream> next;
    };
    std::vector<Queued> queued_;
    // Streams that took over during one callback; kept to reuse its memory.
    std::vector<std::shared_ptr<PlaybackStream>> started_;
    MixTap tap_;

    // Last, so the device closes (and its callbacks end) first.
    SdlAudioDevice device_;
};

} // namespace audio
