#include "Engine.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <string>
#include <system_error>

#include <SDL.h>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace audio {

namespace {

using Clock = std::chrono::steady_clock;

// Handles are unique for the whole process, across engines and Init/Free.
std::atomic<StreamHandle> nextHandle{1};

StreamHandle newHandle()
{
    StreamHandle h;
    do
        h = nextHandle.fetch_add(1);
    while (h == 0);
    return h;
}

constexpr int kDecodeChunkFrames = 4096;
// How much converted audio a worker keeps ahead of the device, in output frames.
constexpr int64_t kQueueAheadFrames = 16384;

std::filesystem::path pathFromArgument(const void *file, uint32_t flags)
{
    if (flags & kFlagUnicodePath) {
        const auto *p = static_cast<const char16_t *>(file);
        std::u16string text(p);
        // Lone surrogates cannot name a file; the conversion throws on them.
        return std::filesystem::path(text);
    }
    return std::filesystem::path(static_cast<const char *>(file));
}

// 96 dB over full scale: beyond any real recording, and summed over 32
// channels and a resampler's filter still far from overflowing a float.
constexpr float kFloatSampleBound = 65536.0f;

float sampleToFloat(const uint8_t *p, const PcmFormat &format)
{
    switch (format.bitsPerSample) {
    case 8:
        return (static_cast<int>(p[0]) - 128) / 128.0f;
    case 16:
        return static_cast<int16_t>(static_cast<uint16_t>(p[0] | (p[1] << 8))) / 32768.0f;
    case 24: {
        const uint32_t u = (static_cast<uint32_t>(p[0]) << 8) |
                           (static_cast<uint32_t>(p[1]) << 16) |
                           (static_cast<uint32_t>(p[2]) << 24);
        return static_cast<float>(static_cast<int32_t>(u) / 2147483648.0);
    }
    default: {
        const uint32_t u = static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                           (static_cast<uint32_t>(p[2]) << 16) |
                           (static_cast<uint32_t>(p[3]) << 24);
        if (!format.isFloat)
            return static_cast<float>(static_cast<int32_t>(u) / 2147483648.0);
        // Float sources keep their range, beyond full scale too, up to a
        // bound that keeps the resampler's and the mixer's sums finite:
        // infinities stop there. A NaN, which no device can play and the
        // resampler's filter would spread over its neighbours, is silence.
        const float v = std::bit_cast<float>(u);
        if (std::isnan(v))
            return 0.0f;
        return std::clamp(v, -kFloatSampleBound, kFloatSampleBound);
    }
    }
}

// How a source's channels are laid out, as far as a count tells: mono,
// stereo, 3.0, quad, 5.0, 5.1, 6.1 and 7.1 (the file stores no layout).
constexpr uint64_t kSourceLayouts[] = {
    AV_CH_LAYOUT_MONO,    AV_CH_LAYOUT_STEREO,  AV_CH_LAYOUT_SURROUND, AV_CH_LAYOUT_QUAD,
    AV_CH_LAYOUT_5POINT0, AV_CH_LAYOUT_5POINT1, AV_CH_LAYOUT_6POINT1,  AV_CH_LAYOUT_7POINT1};
// SDL's channel order for a device of each count (the fifth is 4.1 with the
// LFE before the rear pair, unlike FFmpeg's 4.1).
constexpr uint64_t kDeviceLayouts[] = {AV_CH_LAYOUT_MONO,
                                       AV_CH_LAYOUT_STEREO,
                                       AV_CH_LAYOUT_2POINT1,
                                       AV_CH_LAYOUT_QUAD,
                                       AV_CH_LAYOUT_STEREO | AV_CH_LOW_FREQUENCY | AV_CH_BACK_LEFT |
                                           AV_CH_BACK_RIGHT,
                                       AV_CH_LAYOUT_5POINT1,
                                       AV_CH_LAYOUT_6POINT1,
                                       AV_CH_LAYOUT_7POINT1};

// Channels beyond a known layout have no name, so no standard mix: channel c
// goes to output c modulo the output's count (alternately left and right on
// stereo), all at one weight small enough that no output can pass full scale.
std::vector<double> spreadMatrix(int inChannels, int outChannels)
{
    std::vector<double> matrix(static_cast<size_t>(inChannels) * outChannels, 0.0);
    const int perOutput = (inChannels + outChannels - 1) / outChannels;
    for (int c = 0; c < inChannels; ++c)
        matrix[static_cast<size_t>(c % outChannels) * inChannels + c] = 1.0 / perOutput;
    return matrix;
}

} // namespace

// A block of converted audio with the source frames it came from, so the mixer
// can tell which source frame it is playing.
struct Block
{
    std::vector<float> samples;
    int64_t sourceStart = 0;
    int64_t sourceFrames = 0;
    int64_t outFrames = 0;
};

// State of one playing stream, shared by the UI thread, its worker and the
// audio thread; everything below `mutex` is guarded by it.
struct Engine::Playback
{
    PcmFormat format;
    int64_t totalFrames = 0;
    int outRate = 0;
    int outChannels = 0;
    double periodSeconds = 0;
    std::unique_ptr<Decoder> decoder; // worker only
    std::atomic<bool> exited{false};

    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    // Every seek starts a new generation; work of an older one is dropped.
    uint64_t generation = 0;
    int64_t seekTarget = -1;
    uint64_t doneGeneration = UINT64_MAX;
    std::deque<Block> queue;
    int64_t queuedFrames = 0;
    int64_t frontOffset = 0;
    // Source frame of the next sample the mixer writes, and the source ranges
    // written by the last two device callbacks: while the device plays one
    // buffer the next is being filled, so the previous callback's range is
    // what is heard, spread over one period from the latest callback.
    int64_t cursor = 0;
    int64_t prevStart = 0, prevEnd = 0, lastStart = 0, lastEnd = 0;
    Clock::time_point lastCallback{};
    bool haveCallback = false;

    void resetTo(int64_t frame)
    {
        queue.clear();
        queuedFrames = 0;
        frontOffset = 0;
        cursor = prevStart = prevEnd = lastStart = lastEnd = frame;
        haveCallback = false;
    }

    int64_t heardLocked(Clock::time_point now) const
    {
        if (!haveCallback)
            return prevEnd;
        const double elapsed = std::chrono::duration<double>(now - lastCallback).count();
        const double f = std::clamp(elapsed / periodSeconds, 0.0, 1.0);
        return prevStart + static_cast<int64_t>(static_cast<double>(prevEnd - prevStart) * f);
    }

    // Decoding is over for this generation and everything has been heard.
    bool finishedLocked(Clock::time_point now) const
    {
        return doneGeneration == generation && queue.empty() && prevStart == prevEnd &&
               lastStart == lastEnd && heardLocked(now) == cursor;
    }
};

struct Engine::Stream
{
    std::filesystem::path path;
    PcmFormat format;
    int64_t totalFrames = 0;
    bool decodeOnly = false;

    // Playback streams: where a stopped stream resumes, and its playback
    // while it plays.
    int64_t positionFrames = 0;
    std::shared_ptr<Playback> playback;
    bool paused = false;

    // Decode-only streams.
    std::unique_ptr<Decoder> decoder;
    std::vector<uint8_t> carry; // the rest of a sample frame split by a read
    size_t carryOffset = 0;
    int64_t delivered = 0;
    bool failed = false;

    int64_t lengthBytes() const { return totalFrames * format.bytesPerFrame(); }
};

namespace {

void layoutOf(int channels, const uint64_t (&known)[8], AVChannelLayout *layout)
{
    if (channels >= 1 && channels <= 8) {
        av_channel_layout_from_mask(layout, known[channels - 1]);
    } else {
        *layout = AVChannelLayout{};
        layout->order = AV_CHANNEL_ORDER_UNSPEC;
        layout->nb_channels = channels;
    }
}

SwrContext *makeResampler(const Engine::Playback &p)
{
    AVChannelLayout in, out;
    layoutOf(p.format.channels, kSourceLayouts, &in);
    layoutOf(p.outChannels, kDeviceLayouts, &out);
    SwrContext *swr = nullptr;
    bool ok = swr_alloc_set_opts2(&swr, &out, AV_SAMPLE_FMT_FLT, p.outRate, &in, AV_SAMPLE_FMT_FLT,
                                  p.format.sampleRate, 0, nullptr) >= 0;
    // A downmix adds channels together; scaled to keep within full scale it
    // cannot clip where the sources do not. Mono and stereo keep their level.
    if (ok && p.format.channels > 2)
        ok = av_opt_set_double(swr, "rematrix_maxval", 1.0, 0) >= 0;
    if (ok && (in.order == AV_CHANNEL_ORDER_UNSPEC || out.order == AV_CHANNEL_ORDER_UNSPEC)) {
        const std::vector<double> matrix = spreadMatrix(p.format.channels, p.outChannels);
        ok = swr_set_matrix(swr, matrix.data(), p.format.channels) >= 0;
    }
    if (!ok || swr_init(swr) < 0)
        swr_free(&swr);
    av_channel_layout_uninit(&in);
    av_channel_layout_uninit(&out);
    return swr;
}

void runWorker(std::shared_ptr<Engine::Playback> p)
{
    const PcmFormat fmt = p->format;
    SwrContext *swr = makeResampler(*p);
    std::vector<uint8_t> pcm(static_cast<size_t>(kDecodeChunkFrames) * fmt.bytesPerFrame());
    std::vector<float> in(static_cast<size_t>(kDecodeChunkFrames) * fmt.channels);
    uint64_t generation = 0;
    int64_t source = 0;
    int64_t silence = 0; // source frames still to play as silence
    bool done = true;

    for (;;) {
        {
            std::unique_lock lock(p->mutex);
            p->wake.wait(lock, [&] {
                return p->stop || p->seekTarget >= 0 ||
                       (!done && generation == p->generation &&
                        p->queuedFrames < kQueueAheadFrames);
            });
            if (p->stop)
                break;
            if (p->seekTarget >= 0) {
                const int64_t target = p->seekTarget;
                p->seekTarget = -1;
                generation = p->generation;
                lock.unlock();
                source = target;
                silence = 0;
                done = false;
                if (swr) {
                    swr_free(&swr);
                    swr = makeResampler(*p);
                }
                if (!swr || !p->decoder->seek(target)) {
                    lock.lock();
                    done = true;
                    if (generation == p->generation)
                        p->doneGeneration = generation;
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
            n = p->decoder->read(pcm.data(), kDecodeChunkFrames);
            // A damaged frame plays as silence of its length and the stream
            // goes on after it, so position, length and the loop advance
            // stay true. Without a length to skip, decoding ends here.
            if (n < 0) {
                const int64_t skip = p->decoder->damagedFrames();
                if (skip > 0 && p->decoder->seek(source + skip)) {
                    silence = skip;
                    continue;
                }
            }
        }
        Block block;
        block.sourceStart = source;
        if (n > 0) {
            if (!silent)
                for (int64_t i = 0; i < n * fmt.channels; ++i)
                    in[static_cast<size_t>(i)] =
                        sampleToFloat(pcm.data() + i * fmt.bytesPerSample(), fmt);
            const int capacity = swr_get_out_samples(swr, static_cast<int>(n));
            block.samples.resize(static_cast<size_t>(std::max(capacity, 0)) * p->outChannels);
            auto *outPlane = reinterpret_cast<uint8_t *>(block.samples.data());
            const auto *inPlane = reinterpret_cast<const uint8_t *>(in.data());
            const int got = swr_convert(swr, &outPlane, capacity, &inPlane, static_cast<int>(n));
            block.outFrames = std::max(got, 0);
            block.sourceFrames = n;
            source += n;
        } else {
            // End (or failure): whatever the resampler still holds plays too.
            if (n == 0 && swr) {
                const int capacity = swr_get_out_samples(swr, 0);
                if (capacity > 0) {
                    block.samples.resize(static_cast<size_t>(capacity) * p->outChannels);
                    auto *outPlane = reinterpret_cast<uint8_t *>(block.samples.data());
                    block.outFrames =
                        std::max(swr_convert(swr, &outPlane, capacity, nullptr, 0), 0);
                }
            }
            done = true;
        }
        block.samples.resize(static_cast<size_t>(block.outFrames) * p->outChannels);

        std::lock_guard lock(p->mutex);
        if (generation != p->generation)
            continue;
        if (block.outFrames > 0 || block.sourceFrames > 0) {
            p->queuedFrames += block.outFrames;
            p->queue.push_back(std::move(block));
        }
        if (done)
            p->doneGeneration = generation;
    }
    swr_free(&swr);
    p->decoder.reset();
    p->exited = true;
}

} // namespace

Engine::Engine() = default;

Engine::~Engine()
{
    Free();
}

uint32_t Engine::GetVersion()
{
    return kEngineVersion;
}

bool Engine::Init(int device, uint32_t freq, uint32_t, void *)
{
    if (initialised_ || device != -1)
        return false;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return false;
    requestedRate_ = freq ? static_cast<int>(freq) : 44100;
    if (!openDevice()) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    initialised_ = true;
    return true;
}

bool Engine::openDevice()
{
    SDL_AudioSpec want{};
    want.freq = requestedRate_;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = 1024;
    want.callback = &Engine::audioCallback;
    want.userdata = this;
    SDL_AudioSpec have{};
    // SDL converts rate and sample format for the hardware; the channel count
    // follows the device so multichannel outputs get a proper mapping.
    device_ = SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_CHANNELS_CHANGE);
    if (device_ == 0 || have.channels < 1) {
        if (device_)
            SDL_CloseAudioDevice(device_);
        device_ = 0;
        return false;
    }
    outRate_ = have.freq;
    outChannels_ = have.channels;
    periodFrames_ = have.samples;
    SDL_PauseAudioDevice(device_, 0);
    return true;
}

bool Engine::ensureDevice()
{
    // A device that went away (its sound server died, the sink was removed)
    // reports itself stopped and is never called back again: what plays on
    // it stops where it was heard, and a new device is tried instead.
    if (device_ != 0 && SDL_GetAudioDeviceStatus(device_) != SDL_AUDIO_STOPPED)
        return true;
    for (auto &[h, s] : streams_)
        stopWhereHeard(*s);
    reapWorkers(true);
    if (device_ != 0)
        SDL_CloseAudioDevice(device_);
    device_ = 0;
    return openDevice();
}

void Engine::resumeAfterDeviceLoss()
{
    const bool lost = device_ != 0 && SDL_GetAudioDeviceStatus(device_) == SDL_AUDIO_STOPPED;
    if (lost) {
        for (auto &[h, s] : streams_) {
            settle(*s);
            if (s->playback)
                interrupted_.insert(h);
        }
    }
    if (interrupted_.empty())
        return;
    if (lost || device_ == 0) {
        // Asked on every tick of the window; a server that is not back yet
        // is not asked again at once.
        const auto now = Clock::now();
        if (!lost && now < nextDeviceTry_)
            return;
        nextDeviceTry_ = now + std::chrono::seconds(1);
        if (!ensureDevice())
            return;
    }
    const auto handles = std::move(interrupted_);
    interrupted_.clear();
    for (StreamHandle h : handles) {
        Stream *s = find(h);
        if (s && !s->playback)
            ChannelPlay(h, false);
    }
}

bool Engine::Free()
{
    if (!initialised_)
        return false;
    for (auto &[h, s] : streams_)
        stopPlayback(*s);
    streams_.clear();
    interrupted_.clear();
    reapWorkers(true);
    SDL_CloseAudioDevice(device_);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    device_ = 0;
    outRate_ = outChannels_ = periodFrames_ = 0;
    initialised_ = false;
    return true;
}

StreamHandle Engine::ApeStreamCreateFile(bool mem, const void *file, uint64_t offset,
                                         uint64_t length, uint32_t flags)
{
    if (!initialised_ || mem || !file || offset != 0 || length != 0)
        return 0;
    auto s = std::make_unique<Stream>();
    try {
        s->path = pathFromArgument(file, flags);
    } catch (const std::exception &) {
        return 0;
    }
    std::string error;
    s->decodeOnly = (flags & kFlagDecodeOnly) != 0;
    DecoderOptions options;
    if (s->decodeOnly)
        options.workerThreads =
            decodeThreads_ > 0
                ? decodeThreads_
                : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::unique_ptr<Decoder> d = openDecoder(s->path, &error, options);
    if (!d)
        return 0;
    s->format = d->format();
    s->totalFrames = d->totalFrames();
    if (s->decodeOnly)
        s->decoder = std::move(d);
    s->path.make_preferred();
    const StreamHandle h = newHandle();
    streams_.emplace(h, std::move(s));
    return h;
}

Engine::Stream *Engine::find(StreamHandle handle)
{
    auto it = streams_.find(handle);
    return it == streams_.end() ? nullptr : it->second.get();
}

bool Engine::StreamFree(StreamHandle handle)
{
    Stream *s = find(handle);
    if (!s)
        return false;
    stopPlayback(*s);
    interrupted_.erase(handle);
    streams_.erase(handle);
    reapWorkers(false);
    return true;
}

void Engine::stopPlayback(Stream &s)
{
    if (!s.playback)
        return;
    std::shared_ptr<Playback> p = std::move(s.playback);
    {
        std::lock_guard lock(mixMutex_);
        playing_.erase(std::remove(playing_.begin(), playing_.end(), p), playing_.end());
    }
    {
        std::lock_guard lock(p->mutex);
        p->stop = true;
    }
    p->wake.notify_all();
}

void Engine::stopWhereHeard(Stream &s)
{
    if (!s.playback)
        return;
    {
        std::lock_guard lock(s.playback->mutex);
        s.positionFrames = s.playback->heardLocked(Clock::now());
    }
    stopPlayback(s);
}

void Engine::reapWorkers(bool all)
{
    for (auto it = retired_.begin(); it != retired_.end();) {
        if (all || it->playback->exited) {
            it->thread.join();
            it = retired_.erase(it);
        } else {
            ++it;
        }
    }
}

bool Engine::ChannelPlay(StreamHandle handle, bool restart)
{
    Stream *s = find(handle);
    if (!s || s->decodeOnly || !initialised_)
        return false;
    s->paused = false;
    interrupted_.erase(handle);
    if (!ensureDevice())
        return false;
    reapWorkers(false);
    if (s->playback) {
        settle(*s);
        if (s->playback) {
            if (restart)
                ChannelSetPosition(handle, 0, kPosByte);
            return true;
        }
    }
    int64_t start = restart ? 0 : s->positionFrames;
    if (start >= s->totalFrames)
        start = 0;

    // The file may have gone or changed since the stream was created.
    std::string error;
    DecoderOptions options;
    options.workerThreads = 1; // the next frame decodes while this one plays
    std::unique_ptr<Decoder> d = openDecoder(s->path, &error, options);
    if (!d || d->format().sampleRate != s->format.sampleRate ||
        d->format().channels != s->format.channels ||
        d->format().bitsPerSample != s->format.bitsPerSample ||
        d->format().isFloat != s->format.isFloat || d->totalFrames() != s->totalFrames)
        return false;

    auto p = std::make_shared<Playback>();
    p->format = s->format;
    p->totalFrames = s->totalFrames;
    p->outRate = outRate_;
    p->outChannels = outChannels_;
    p->periodSeconds = static_cast<double>(periodFrames_) / outRate_;
    p->decoder = std::move(d);
    p->seekTarget = start;
    p->resetTo(start);
    std::thread worker;
    try {
        worker = std::thread(runWorker, p);
    } catch (const std::system_error &) {
        return false;
    }
    retired_.push_back(Worker{p, std::move(worker)});
    s->playback = p;
    s->positionFrames = start;
    std::lock_guard lock(mixMutex_);
    playing_.push_back(p);
    return true;
}

void Engine::settle(Stream &s)
{
    if (!s.playback)
        return;
    {
        std::lock_guard lock(s.playback->mutex);
        if (!s.playback->finishedLocked(Clock::now()))
            return;
    }
    stopPlayback(s);
    // A damaged file stops early; it still counts as played to its end, so
    // the playlist moves on instead of waiting at the damage for ever.
    s.positionFrames = s.totalFrames;
}

bool Engine::ChannelStop(StreamHandle handle)
{
    Stream *s = find(handle);
    if (!s)
        return false;
    s->paused = false;
    interrupted_.erase(handle);
    stopWhereHeard(*s);
    reapWorkers(false);
    return true;
}

bool Engine::ChannelPause(StreamHandle handle)
{
    Stream *s = find(handle);
    if (!s || s->decodeOnly)
        return false;
    settle(*s);
    // A stream waiting for its lost device to come back counts as playing.
    const bool waiting = interrupted_.erase(handle) > 0;
    if (!s->playback && !waiting)
        return false;
    // Its decoder and file go with the playback; resuming opens them again,
    // as playing a stopped stream does.
    stopWhereHeard(*s);
    reapWorkers(false);
    s->paused = true;
    return true;
}

bool Engine::ChannelResume(StreamHandle handle)
{
    Stream *s = find(handle);
    if (!s || !s->paused)
        return false;
    return ChannelPlay(handle, false);
}

int64_t Engine::ChannelGetLength(StreamHandle handle, uint32_t mode)
{
    Stream *s = find(handle);
    if (!s || mode != kPosByte)
        return -1;
    return s->lengthBytes();
}

int64_t Engine::ChannelGetPosition(StreamHandle handle, uint32_t mode)
{
    Stream *s = find(handle);
    if (!s || mode != kPosByte)
        return -1;
    if (s->decodeOnly)
        return s->delivered;
    resumeAfterDeviceLoss();
    settle(*s);
    if (s->playback) {
        std::lock_guard lock(s->playback->mutex);
        return s->playback->heardLocked(Clock::now()) * s->format.bytesPerFrame();
    }
    return s->positionFrames * s->format.bytesPerFrame();
}

bool Engine::ChannelSetPosition(StreamHandle handle, int64_t pos, uint32_t mode)
{
    Stream *s = find(handle);
    if (!s || mode != kPosByte || pos < 0 || pos > s->lengthBytes())
        return false;
    const int64_t frame = pos / s->format.bytesPerFrame();
    if (s->decodeOnly) {
        if (!s->decoder->seek(frame))
            return false;
        s->carry.clear();
        s->carryOffset = 0;
        s->delivered = frame * s->format.bytesPerFrame();
        s->failed = false;
        return true;
    }
    s->positionFrames = frame;
    if (s->playback) {
        {
            std::lock_guard lock(s->playback->mutex);
            ++s->playback->generation;
            s->playback->seekTarget = frame;
            s->playback->resetTo(frame);
        }
        s->playback->wake.notify_all();
    }
    return true;
}

uint32_t Engine::ChannelIsActive(StreamHandle handle)
{
    Stream *s = find(handle);
    if (!s)
        return kActiveStopped;
    if (s->decodeOnly)
        return s->failed || s->delivered >= s->lengthBytes() ? kActiveStopped : kActivePlaying;
    settle(*s);
    if (s->paused)
        return kActivePaused;
    return s->playback ? kActivePlaying : kActiveStopped;
}

uint32_t Engine::ChannelGetData(StreamHandle handle, void *buffer, uint32_t length)
{
    Stream *s = find(handle);
    if (!s || !s->decodeOnly || !buffer || s->failed)
        return kDataError;
    auto *out = static_cast<uint8_t *>(buffer);
    const int64_t bpf = s->format.bytesPerFrame();
    int64_t want = std::min<int64_t>(length, s->lengthBytes() - s->delivered);
    int64_t written = 0;

    auto takeCarry = [&] {
        const int64_t n = std::min<int64_t>(want - written,
                                            static_cast<int64_t>(s->carry.size() - s->carryOffset));
        std::memcpy(out + written, s->carry.data() + s->carryOffset, static_cast<size_t>(n));
        s->carryOffset += static_cast<size_t>(n);
        written += n;
        if (s->carryOffset == s->carry.size()) {
            s->carry.clear();
            s->carryOffset = 0;
        }
    };
    if (!s->carry.empty())
        takeCarry();
    bool failed = false;
    if (written < want && s->carry.empty()) {
        const int64_t frames = (want - written) / bpf;
        if (frames > 0) {
            const int64_t n = s->decoder->read(out + written, frames);
            if (n < 0)
                failed = true;
            else
                written += n * bpf;
        }
    }
    if (!failed && written < want && (want - written) < bpf) {
        // A request that ends inside a sample frame: keep the rest for later.
        s->carry.resize(static_cast<size_t>(bpf));
        const int64_t n = s->decoder->read(s->carry.data(), 1);
        if (n == 1) {
            s->carryOffset = 0;
            takeCarry();
        } else {
            s->carry.clear();
            failed = n < 0;
        }
    }
    s->delivered += written;
    if (failed) {
        // Report what arrived first; the error comes with the next call, and
        // the stream counts as stopped from now on so readers end.
        s->failed = true;
        if (written == 0)
            return kDataError;
    }
    if (written == 0 && want > 0) {
        // The decoder ended before the header's length: the file is damaged.
        s->failed = true;
        return kDataError;
    }
    return static_cast<uint32_t>(written);
}

bool Engine::ChannelGetInfo(StreamHandle handle, ChannelInfo *info)
{
    Stream *s = find(handle);
    if (!s || !info)
        return false;
    info->freq = static_cast<uint32_t>(s->format.sampleRate);
    info->chans = static_cast<uint32_t>(s->format.channels);
    info->flags = s->format.bitsPerSample == 8 ? kInfoSample8Bits
                  : s->format.isFloat          ? kInfoSampleFloat
                                               : 0;
    info->origres = static_cast<uint32_t>(s->format.bitsPerSample);
    info->bytesPerSample = static_cast<uint32_t>(s->format.bytesPerSample());
    return true;
}

bool Engine::ChannelGetAttribute(StreamHandle handle, uint32_t attrib, float *value)
{
    Stream *s = find(handle);
    if (!s || !value || attrib != kAttribFreq)
        return false;
    *value = static_cast<float>(s->format.sampleRate);
    return true;
}

void Engine::setMixTap(MixTap tap)
{
    std::lock_guard lock(mixMutex_);
    tap_ = std::move(tap);
}

void Engine::audioCallback(void *userdata, uint8_t *stream, int len)
{
    auto *self = static_cast<Engine *>(userdata);
    const int frames = len / static_cast<int>(sizeof(float)) / std::max(self->outChannels_, 1);
    std::memset(stream, 0, static_cast<size_t>(len));
    self->mix(reinterpret_cast<float *>(stream), frames);
}

void Engine::mix(float *out, int frames)
{
    const Clock::time_point now = Clock::now();
    std::lock_guard mixLock(mixMutex_);
    for (const auto &p : playing_) {
        bool wake = false;
        {
            std::lock_guard lock(p->mutex);
            p->prevStart = p->lastStart;
            p->prevEnd = p->lastEnd;
            p->lastStart = p->cursor;
            int done = 0;
            while (!p->queue.empty() && (done < frames || p->queue.front().outFrames == 0)) {
                Block &b = p->queue.front();
                const int64_t take = std::min<int64_t>(frames - done, b.outFrames - p->frontOffset);
                const float *src = b.samples.data() + p->frontOffset * p->outChannels;
                float *dst = out + static_cast<ptrdiff_t>(done) * p->outChannels;
                for (int64_t i = 0; i < take * p->outChannels; ++i)
                    dst[i] += src[i];
                p->frontOffset += take;
                done += static_cast<int>(take);
                if (p->frontOffset >= b.outFrames) {
                    p->cursor = b.sourceStart + b.sourceFrames;
                    p->queuedFrames -= b.outFrames;
                    p->frontOffset = 0;
                    p->queue.pop_front();
                } else {
                    p->cursor = b.sourceStart + b.sourceFrames * p->frontOffset / b.outFrames;
                }
            }
            p->lastEnd = p->cursor;
            p->lastCallback = now;
            p->haveCallback = true;
            wake = p->queuedFrames < kQueueAheadFrames;
        }
        if (wake)
            p->wake.notify_one();
    }
    if (tap_)
        tap_(out, frames);
}

} // namespace audio
