#include "OutputDevice.h"

#include "PlaybackStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <SDL.h>

namespace audio {

SdlAudioDevice &SdlAudioDevice::operator=(SdlAudioDevice &&other) noexcept
{
    if (this != &other) {
        reset();
        id_ = other.release();
    }
    return *this;
}

void SdlAudioDevice::reset()
{
    if (id_ != 0)
        SDL_CloseAudioDevice(id_);
    id_ = 0;
}

uint32_t SdlAudioDevice::release()
{
    const uint32_t id = id_;
    id_ = 0;
    return id;
}

namespace {

constexpr const char *kApplicationName = "Sorvano";

// How the sound server lists the program: its name, its icon and what it
// plays, so mixers show it as a music player and role rules (ducking music
// for a call) apply. SDL has no hint for the icon; libpulse takes client
// properties from the environment when SDL connects, and the server passes
// the client's properties on to its streams. A value the user has set stays.
void describeToSoundServer()
{
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_APP_NAME, kApplicationName);
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_ROLE, "music");
    ::setenv("PULSE_PROP_application.icon_name", "sorvano", 0);
    ::setenv("PULSE_PROP_media.role", "music", 0);
}

} // namespace

bool OutputDevice::start(int rate)
{
    describeToSoundServer();
    if (streamName_.empty())
        streamName_ = kApplicationName;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return false;
    requestedRate_ = rate;
    if (!open()) {
        SDL_QuitSubSystem(SDL_INIT_AUDIO);
        return false;
    }
    return true;
}

void OutputDevice::stop()
{
    device_.reset();
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    rate_ = channels_ = periodFrames_ = 0;
}

bool OutputDevice::open()
{
    SDL_AudioSpec want{};
    want.freq = requestedRate_;
    want.format = AUDIO_F32SYS;
    want.channels = 2;
    want.samples = 1024;
    want.callback = &OutputDevice::audioCallback;
    want.userdata = this;
    SDL_AudioSpec have{};
    SDL_SetHint(SDL_HINT_AUDIO_DEVICE_STREAM_NAME, streamName_.c_str());
    // SDL converts rate and sample format for the hardware; the channel count
    // follows the device so multichannel outputs get a proper mapping.
    SdlAudioDevice device(
        SDL_OpenAudioDevice(nullptr, 0, &want, &have, SDL_AUDIO_ALLOW_CHANNELS_CHANGE));
    if (!device || have.channels < 1)
        return false;
    rate_ = have.freq;
    channels_ = have.channels;
    periodFrames_ = have.samples;
    device_ = std::move(device);
    SDL_PauseAudioDevice(device_.id(), 0);
    return true;
}

bool OutputDevice::lost() const
{
    return device_ && SDL_GetAudioDeviceStatus(device_.id()) == SDL_AUDIO_STOPPED;
}

bool OutputDevice::reopen()
{
    device_.reset();
    return open();
}

bool OutputDevice::retryDue(bool lostNow)
{
    const auto now = std::chrono::steady_clock::now();
    if (!lostNow && now < nextTry_)
        return false;
    nextTry_ = now + std::chrono::seconds(1);
    return true;
}

bool OutputDevice::idle()
{
    std::lock_guard lock(mixMutex_);
    return playing_.empty();
}

void OutputDevice::addStream(std::shared_ptr<PlaybackStream> stream)
{
    std::lock_guard lock(mixMutex_);
    playing_.push_back(std::move(stream));
}

void OutputDevice::removeStream(const std::shared_ptr<PlaybackStream> &stream)
{
    std::lock_guard lock(mixMutex_);
    playing_.erase(std::remove(playing_.begin(), playing_.end(), stream), playing_.end());
    // A stream no longer mixed never reaches its end, so nothing follows it.
    queued_.erase(std::remove_if(queued_.begin(), queued_.end(),
                                 [&](const Queued &q) { return q.after == stream; }),
                  queued_.end());
}

void OutputDevice::queueAfter(const std::shared_ptr<PlaybackStream> &current,
                              std::shared_ptr<PlaybackStream> next)
{
    std::lock_guard lock(mixMutex_);
    for (Queued &q : queued_) {
        if (q.after == current) {
            q.next = std::move(next);
            return;
        }
    }
    queued_.push_back({current, std::move(next)});
    // The audio thread must not allocate when a queued stream takes over.
    started_.reserve(queued_.size());
    playing_.reserve(playing_.size() + queued_.size());
}

bool OutputDevice::unqueueAfter(const std::shared_ptr<PlaybackStream> &current)
{
    std::lock_guard lock(mixMutex_);
    const auto kept = std::remove_if(queued_.begin(), queued_.end(),
                                     [&](const Queued &q) { return q.after == current; });
    const bool dropped = kept != queued_.end();
    queued_.erase(kept, queued_.end());
    return dropped;
}

void OutputDevice::setTap(MixTap tap)
{
    std::lock_guard lock(mixMutex_);
    tap_ = std::move(tap);
}

void OutputDevice::audioCallback(void *userdata, uint8_t *stream, int len)
{
    auto *self = static_cast<OutputDevice *>(userdata);
    const int frames = len / static_cast<int>(sizeof(float)) / std::max(self->channels_, 1);
    std::memset(stream, 0, static_cast<size_t>(len));
    self->mix(reinterpret_cast<float *>(stream), frames);
}

void OutputDevice::mix(float *out, int frames)
{
    const PlaybackStream::Clock::time_point now = PlaybackStream::Clock::now();
    std::lock_guard lock(mixMutex_);
    for (const auto &stream : playing_) {
        PlaybackStream *s = stream.get();
        int offset = 0;
        for (;;) {
            const PlaybackStream::Mixed mixed =
                s->mixInto(out + static_cast<ptrdiff_t>(offset) * channels_, frames - offset, now);
            if (!mixed.ended || queued_.empty())
                break;
            const auto q = std::find_if(queued_.begin(), queued_.end(),
                                        [&](const Queued &e) { return e.after.get() == s; });
            if (q == queued_.end())
                break;
            // The queued stream goes on right behind the last frame; a stream
            // shorter than the rest of the callback hands over in turn.
            offset += mixed.frames;
            started_.push_back(std::move(q->next));
            queued_.erase(q);
            s = started_.back().get();
        }
    }
    // Added after the loop: a stream mixes once per callback.
    for (auto &stream : started_)
        playing_.push_back(std::move(stream));
    started_.clear();
    if (tap_)
        tap_(out, frames);
}

} // namespace audio
