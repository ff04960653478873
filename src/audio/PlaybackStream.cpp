#include "PlaybackStream.h"

#include "Resampler.h"
#include "SampleConversion.h"

#include <algorithm>
#include <cstddef>
#include <system_error>

namespace audio {

namespace {

constexpr int kDecodeChunkFrames = 4096;
// How much converted audio a worker keeps ahead of the device, in output frames.
constexpr int64_t kQueueAheadFrames = 16384;

} // namespace

PlaybackStream::PlaybackStream(std::unique_ptr<Decoder> decoder, int outRate, int outChannels,
                               int periodFrames, int64_t start)
    : format_(decoder->format()), outRate_(outRate), outChannels_(outChannels),
      periodSeconds_(static_cast<double>(periodFrames) / outRate), decoder_(std::move(decoder)),
      seekTarget_(start)
{
    resetTo(start);
}

void PlaybackStream::resetTo(int64_t frame)
{
    queue_.clear();
    queuedFrames_ = 0;
    frontOffset_ = 0;
    cursor_ = prevStart_ = prevEnd_ = lastStart_ = lastEnd_ = frame;
    haveCallback_ = false;
}

int64_t PlaybackStream::heardLocked(Clock::time_point now) const
{
    if (!haveCallback_)
        return prevEnd_;
    const double elapsed = std::chrono::duration<double>(now - lastCallback_).count();
    const double f = std::clamp(elapsed / periodSeconds_, 0.0, 1.0);
    return prevStart_ + static_cast<int64_t>(static_cast<double>(prevEnd_ - prevStart_) * f);
}

bool PlaybackStream::finishedLocked(Clock::time_point now) const
{
    return (failed_ || doneGeneration_ == generation_) && queue_.empty() &&
           prevStart_ == prevEnd_ && lastStart_ == lastEnd_ && heardLocked(now) == cursor_;
}

int64_t PlaybackStream::heard()
{
    std::lock_guard lock(mutex_);
    return heardLocked(Clock::now());
}

bool PlaybackStream::finished()
{
    std::lock_guard lock(mutex_);
    return finishedLocked(Clock::now());
}

void PlaybackStream::stop()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void PlaybackStream::seek(int64_t frame)
{
    {
        std::lock_guard lock(mutex_);
        ++generation_;
        seekTarget_ = frame;
        resetTo(frame);
    }
    wake_.notify_all();
}

void PlaybackStream::run()
{
    try {
        decodeAhead();
    } catch (...) {
        // An exception leaving a thread would end the program. Whatever
        // failed (memory, mostly), the stream ends as at damaged data that
        // cannot be skipped: what is queued plays, then it settles.
        std::lock_guard lock(mutex_);
        failed_ = true;
    }
    decoder_.reset();
    exited_ = true;
}

void PlaybackStream::decodeAhead()
{
    const PcmFormat fmt = format_;
    Resampler resampler(fmt, outRate_, outChannels_);
    std::vector<uint8_t> pcm(static_cast<size_t>(kDecodeChunkFrames) * fmt.bytesPerFrame());
    std::vector<float> in(static_cast<size_t>(kDecodeChunkFrames) * fmt.channels);
    uint64_t generation = 0;
    int64_t source = 0;
    int64_t silence = 0; // source frames still to play as silence
    bool done = true;

    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] {
                return stop_ || seekTarget_ >= 0 ||
                       (!done && generation == generation_ && queuedFrames_ < kQueueAheadFrames);
            });
            if (stop_)
                break;
            if (seekTarget_ >= 0) {
                const int64_t target = seekTarget_;
                seekTarget_ = -1;
                generation = generation_;
                lock.unlock();
                source = target;
                silence = 0;
                done = false;
                // Nothing the filter holds from before the seek may play.
                if (resampler)
                    resampler = Resampler(fmt, outRate_, outChannels_);
                if (!resampler || !decoder_->seek(target)) {
                    lock.lock();
                    done = true;
                    if (generation == generation_)
                        doneGeneration_ = generation;
                }
                continue;
            }
        }

        int64_t n;
        const bool silent = silence > 0;
        if (silent) {
            n = std::min<int64_t>(silence, kDecodeChunkFrames);
            silence -= n;
            std::fill(in.begin(), in.begin() + n * fmt.channels, 0.0f);
        } else {
            n = decoder_->read(pcm.data(), kDecodeChunkFrames);
            // A damaged frame plays as silence of its length and the stream
            // goes on after it, so position, length and the loop advance
            // stay true. Without a length to skip, decoding ends here.
            if (n < 0) {
                const int64_t skip = decoder_->damagedFrames();
                if (skip > 0 && decoder_->seek(source + skip)) {
                    silence = skip;
                    continue;
                }
            }
        }
        Block block;
        block.sourceStart = source;
        if (n > 0) {
            if (!silent)
                samplesToFloat(pcm.data(), n * fmt.channels, fmt, in.data());
            block.outFrames = resampler.convert(in.data(), static_cast<int>(n), block.samples);
            block.sourceFrames = n;
            source += n;
        } else {
            // End (or failure): whatever the resampler still holds plays too.
            if (n == 0 && resampler)
                block.outFrames = resampler.drain(block.samples);
            done = true;
        }

        std::lock_guard lock(mutex_);
        if (generation != generation_)
            continue;
        if (block.outFrames > 0 || block.sourceFrames > 0) {
            queuedFrames_ += block.outFrames;
            queue_.push_back(std::move(block));
        }
        if (done)
            doneGeneration_ = generation;
    }
}

PlaybackStream::Mixed PlaybackStream::mixInto(float *out, int frames, Clock::time_point now)
{
    started_ = true;
    bool wake = false;
    Mixed mixed;
    {
        std::lock_guard lock(mutex_);
        prevStart_ = lastStart_;
        prevEnd_ = lastEnd_;
        lastStart_ = cursor_;
        int done = 0;
        while (!queue_.empty() && (done < frames || queue_.front().outFrames == 0)) {
            Block &b = queue_.front();
            const int64_t take = std::min<int64_t>(frames - done, b.outFrames - frontOffset_);
            const float *src = b.samples.data() + frontOffset_ * outChannels_;
            float *dst = out + static_cast<ptrdiff_t>(done) * outChannels_;
            for (int64_t i = 0; i < take * outChannels_; ++i)
                dst[i] += src[i];
            frontOffset_ += take;
            done += static_cast<int>(take);
            if (frontOffset_ >= b.outFrames) {
                cursor_ = b.sourceStart + b.sourceFrames;
                queuedFrames_ -= b.outFrames;
                frontOffset_ = 0;
                queue_.pop_front();
            } else {
                cursor_ = b.sourceStart + b.sourceFrames * frontOffset_ / b.outFrames;
            }
        }
        lastEnd_ = cursor_;
        lastCallback_ = now;
        haveCallback_ = true;
        wake = queuedFrames_ < kQueueAheadFrames;
        mixed.frames = done;
        // An empty queue before the end is a worker running late, not the end.
        mixed.ended = queue_.empty() && (failed_ || doneGeneration_ == generation_);
    }
    if (wake)
        wake_.notify_one();
    return mixed;
}

bool PlaybackWorkers::start(const std::shared_ptr<PlaybackStream> &stream)
{
    Worker &worker = unjoined_.emplace_back(Worker{stream, {}});
    try {
        worker.thread = std::thread([stream] { stream->run(); });
    } catch (const std::system_error &) {
        unjoined_.pop_back();
        return false;
    }
    return true;
}

void PlaybackWorkers::joinExited()
{
    for (auto it = unjoined_.begin(); it != unjoined_.end();) {
        if (it->stream->exited()) {
            it->thread.join();
            it = unjoined_.erase(it);
        } else {
            ++it;
        }
    }
}

void PlaybackWorkers::joinAll()
{
    for (Worker &w : unjoined_)
        w.thread.join();
    unjoined_.clear();
}

} // namespace audio
