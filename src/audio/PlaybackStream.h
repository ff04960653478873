#pragma once

#include "Decoder.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace audio {

// One stream while it plays. Its worker thread decodes ahead of the device,
// converts the samples to float and resamples them to the device's rate and
// channels in blocks; the mixer plays the blocks on the audio thread; the UI
// thread asks where it is heard, seeks and stops it. What the three share is
// guarded by one mutex.
class PlaybackStream
{
public:
    using Clock = std::chrono::steady_clock;

    // Plays the decoder's audio from source frame `start` on a device of
    // outRate Hz and outChannels channels that asks for periodFrames at a time.
    PlaybackStream(std::unique_ptr<Decoder> decoder, int outRate, int outChannels, int periodFrames,
                   int64_t start);

    PlaybackStream(const PlaybackStream &) = delete;
    PlaybackStream &operator=(const PlaybackStream &) = delete;

    // The worker: decodes until stop(). Nothing it throws leaves it; a failure
    // ends the stream as damaged data does.
    void run();
    // run() has returned, so its thread joins without waiting.
    bool exited() const { return exited_; }

    // UI thread.
    void stop();
    // Drops what is queued; the worker decodes on from `frame`.
    void seek(int64_t frame);
    // The source frame being heard now.
    int64_t heard();
    // Decoding is over (at the end, at damaged data, or failed) and
    // everything has been heard.
    bool finished();

    // Audio thread: adds the next `frames` frames to `out` (interleaved, the
    // device's channels). `ended` says the stream's last frame is among them
    // (or was before), so a stream queued after it starts right behind it.
    struct Mixed
    {
        int frames = 0;
        bool ended = false;
    };
    Mixed mixInto(float *out, int frames, Clock::time_point now);
    // The mixer has begun to play it: a queued stream has taken over.
    bool started() const { return started_; }

private:
    // Converted audio with the source frames it came from, so the mixer can
    // tell which source frame it is playing.
    struct Block
    {
        std::vector<float> samples;
        int64_t sourceStart = 0;
        int64_t sourceFrames = 0;
        int64_t outFrames = 0;
    };

    void decodeAhead();
    void resetTo(int64_t frame);
    int64_t heardLocked(Clock::time_point now) const;
    bool finishedLocked(Clock::time_point now) const;

    const PcmFormat format_;
    const int outRate_;
    const int outChannels_;
    const double periodSeconds_;
    std::unique_ptr<Decoder> decoder_; // worker only
    std::atomic<bool> exited_{false};
    std::atomic<bool> started_{false};

    // Everything below is guarded by mutex_.
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    bool failed_ = false;
    // Every seek starts a new generation; work of an older one is dropped.
    uint64_t generation_ = 0;
    int64_t seekTarget_ = -1;
    uint64_t doneGeneration_ = UINT64_MAX;
    std::deque<Block> queue_;
    int64_t queuedFrames_ = 0;
    int64_t frontOffset_ = 0;
    // Source frame of the next sample the mixer writes, and the source ranges
    // written by the last two device callbacks: while the device plays one
    // buffer the next is being filled, so the previous callback's range is
    // what is heard, spread over one period from the latest callback.
    int64_t cursor_ = 0;
    int64_t prevStart_ = 0, prevEnd_ = 0, lastStart_ = 0, lastEnd_ = 0;
    Clock::time_point lastCallback_{};
    bool haveCallback_ = false;
};

// The worker threads of playback streams, from their start until joined:
// those of playing streams and those of stopped streams still finishing
// their chunk. Joining waits for none but the exited ones until the engine
// shuts down or its device is replaced.
class PlaybackWorkers
{
public:
    // False when no thread can be started.
    bool start(const std::shared_ptr<PlaybackStream> &stream);
    void joinExited();
    // The streams must have been stopped.
    void joinAll();

private:
    struct Worker
    {
        std::shared_ptr<PlaybackStream> stream;
        std::thread thread;
    };
    std::vector<Worker> unjoined_;
};

} // namespace audio
