#include "Engine.h"

#include "DecodeReader.h"
#include "RangeDecoder.h"

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace audio {

namespace {

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

} // namespace

// One entry of the handle table.
struct Engine::Stream
{
    std::filesystem::path path;
    std::string title;
    PcmFormat format;
    int64_t totalFrames = 0; // of the range when the stream is one
    // The file's own frames, and the range of them the stream is (endFrame
    // -1: the whole file).
    int64_t fileFrames = 0;
    int64_t firstFrame = 0;
    int64_t endFrame = -1;

    // Playback streams: where a stopped stream resumes, and its playback
    // while it plays.
    int64_t positionFrames = 0;
    std::shared_ptr<PlaybackStream> playback;
    bool paused = false;
    // The stream queued to follow this one's playback, with the playback it
    // will take over with, decoding ahead meanwhile; and the stream that did
    // take over, until ChannelTakeFollower reports it.
    StreamHandle queuedNext = 0;
    std::shared_ptr<PlaybackStream> queuedPlayback;
    StreamHandle follower = 0;

    // Decode-only streams: what ChannelGetData reads.
    std::unique_ptr<DecodeReader> reader;

    bool decodeOnly() const { return reader != nullptr; }
    int64_t lengthBytes() const { return totalFrames * format.bytesPerFrame(); }
};

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
    if (!device_.start(freq ? static_cast<int>(freq) : 44100))
        return false;
    initialised_ = true;
    return true;
}

bool Engine::Free()
{
    if (!initialised_)
        return false;
    for (auto &[h, s] : streams_)
        stopPlayback(*s);
    streams_.clear();
    interruptedByDeviceLoss_.clear();
    workers_.joinAll();
    device_.stop();
    initialised_ = false;
    return true;
}

StreamHandle Engine::ApeStreamCreateFile(bool mem, const void *file, uint64_t offset,
                                         uint64_t length, uint32_t flags)
{
    if (mem || offset != 0 || length != 0)
        return 0;
    return create(file, flags, 0, -1);
}

StreamHandle Engine::ApeStreamCreateRange(const void *file, uint32_t flags, int64_t firstFrame,
                                          int64_t endFrame)
{
    if (firstFrame < 0 || endFrame <= firstFrame)
        return 0;
    return create(file, flags, firstFrame, endFrame);
}

namespace {

// The stream's file opened again (it may have gone or changed since the
// stream was created), as its range when it is one. Null unless the file
// still has the format and length the stream was created with.
std::unique_ptr<Decoder> reopen(const std::filesystem::path &path, const PcmFormat &format,
                                int64_t fileFrames, int64_t firstFrame, int64_t endFrame,
                                const DecoderOptions &options)
{
    std::string error;
    std::unique_ptr<Decoder> d = openDecoder(path, &error, options);
    if (!d || d->format().sampleRate != format.sampleRate ||
        d->format().channels != format.channels ||
        d->format().bitsPerSample != format.bitsPerSample ||
        d->format().isFloat != format.isFloat || d->totalFrames() != fileFrames)
        return nullptr;
    if (endFrame < 0)
        return d;
    return RangeDecoder::wrap(std::move(d), firstFrame, endFrame);
}

} // namespace

StreamHandle Engine::create(const void *file, uint32_t flags, int64_t firstFrame, int64_t endFrame)
{
    if (!initialised_ || !file)
        return 0;
    auto s = std::make_unique<Stream>();
    try {
        s->path = pathFromArgument(file, flags);
    } catch (const std::exception &) {
        return 0;
    }
    std::string error;
    const bool decodeOnly = (flags & kFlagDecodeOnly) != 0;
    DecoderOptions options;
    if (decodeOnly)
        options.workerThreads =
            decodeThreads_ > 0
                ? decodeThreads_
                : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::unique_ptr<Decoder> d = openDecoder(s->path, &error, options);
    if (!d)
        return 0;
    s->format = d->format();
    s->fileFrames = d->totalFrames();
    if (endFrame >= 0) {
        d = RangeDecoder::wrap(std::move(d), firstFrame, endFrame);
        if (!d)
            return 0;
        s->firstFrame = firstFrame;
        s->endFrame = endFrame;
    }
    s->totalFrames = d->totalFrames();
    if (decodeOnly)
        s->reader = std::make_unique<DecodeReader>(std::move(d));
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
    takeOverQueued();
    Stream *s = find(handle);
    if (!s)
        return false;
    stopPlayback(*s);
    dropQueuesOf(handle);
    interruptedByDeviceLoss_.erase(handle);
    streams_.erase(handle);
    workers_.joinExited();
    return true;
}

void Engine::stopPlayback(Stream &s)
{
    dropQueued(s);
    if (!s.playback)
        return;
    std::shared_ptr<PlaybackStream> p = std::move(s.playback);
    device_.removeStream(p);
    p->stop();
}

void Engine::stopWhereHeard(Stream &s)
{
    if (!s.playback)
        return;
    s.positionFrames = s.playback->heard();
    stopPlayback(s);
}

bool Engine::ChannelPlay(StreamHandle handle, bool restart)
{
    takeOverQueued();
    Stream *s = find(handle);
    if (!s || s->decodeOnly() || !initialised_)
        return false;
    s->paused = false;
    s->follower = 0;
    // Played by itself, it no longer waits behind another stream.
    if (!s->playback)
        dropQueuesOf(handle);
    interruptedByDeviceLoss_.erase(handle);
    if (!ensureDevice())
        return false;
    workers_.joinExited();
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
    // The sound server takes the media name only when a device opens. Opening
    // it again is only done while nothing is heard, so no stream that plays
    // on (or follows another without a gap) is ever interrupted for a name.
    if (!s->title.empty() && s->title != device_.streamName() && device_.idle()) {
        device_.setStreamName(s->title);
        if (!device_.reopen())
            return false;
    }

    std::shared_ptr<PlaybackStream> p = startPlayback(*s, start);
    if (!p)
        return false;
    s->playback = p;
    s->positionFrames = start;
    device_.addStream(std::move(p));
    return true;
}

std::shared_ptr<PlaybackStream> Engine::startPlayback(const Stream &s, int64_t start)
{
    DecoderOptions options;
    options.workerThreads = 1; // the next frame decodes while this one plays
    std::unique_ptr<Decoder> d =
        reopen(s.path, s.format, s.fileFrames, s.firstFrame, s.endFrame, options);
    if (!d)
        return nullptr;

    auto p = std::make_shared<PlaybackStream>(std::move(d), device_.rate(), device_.channels(),
                                              device_.periodFrames(), start);
    if (!workers_.start(p))
        return nullptr;
    return p;
}

void Engine::settle(Stream &s)
{
    if (!s.playback || !s.playback->finished())
        return;
    stopPlayback(s);
    // A damaged file stops early; it still counts as played to its end, so
    // the playlist moves on instead of waiting at the damage for ever.
    s.positionFrames = s.totalFrames;
}

bool Engine::ChannelStop(StreamHandle handle)
{
    takeOverQueued();
    Stream *s = find(handle);
    if (!s)
        return false;
    s->paused = false;
    s->follower = 0;
    interruptedByDeviceLoss_.erase(handle);
    stopWhereHeard(*s);
    workers_.joinExited();
    return true;
}

bool Engine::ChannelPause(StreamHandle handle)
{
    takeOverQueued();
    Stream *s = find(handle);
    if (!s || s->decodeOnly())
        return false;
    settle(*s);
    // A stream waiting for its lost device to come back counts as playing.
    const bool waiting = interruptedByDeviceLoss_.erase(handle) > 0;
    if (!s->playback && !waiting)
        return false;
    // Its decoder and file go with the playback; resuming opens them again,
    // as playing a stopped stream does.
    stopWhereHeard(*s);
    workers_.joinExited();
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
    takeOverQueued();
    Stream *s = find(handle);
    if (!s || mode != kPosByte)
        return -1;
    if (s->decodeOnly())
        return s->reader->position();
    resumeAfterDeviceLoss();
    settle(*s);
    if (s->playback)
        return s->playback->heard() * s->format.bytesPerFrame();
    return s->positionFrames * s->format.bytesPerFrame();
}

bool Engine::ChannelSetPosition(StreamHandle handle, int64_t pos, uint32_t mode)
{
    // A stream whose follower has begun is over: it is not to play again
    // beside it.
    takeOverQueued();
    Stream *s = find(handle);
    if (!s || mode != kPosByte || pos < 0 || pos > s->lengthBytes())
        return false;
    const int64_t frame = pos / s->format.bytesPerFrame();
    if (s->decodeOnly())
        return s->reader->seek(frame);
    s->positionFrames = frame;
    if (s->playback)
        s->playback->seek(frame);
    return true;
}

uint32_t Engine::ChannelIsActive(StreamHandle handle)
{
    takeOverQueued();
    Stream *s = find(handle);
    if (!s)
        return kActiveStopped;
    if (s->decodeOnly())
        return s->reader->active() ? kActivePlaying : kActiveStopped;
    settle(*s);
    if (s->paused)
        return kActivePaused;
    return s->playback ? kActivePlaying : kActiveStopped;
}

uint32_t Engine::ChannelGetData(StreamHandle handle, void *buffer, uint32_t length)
{
    Stream *s = find(handle);
    if (!s || !s->decodeOnly())
        return kDataError;
    return s->reader->read(buffer, length);
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

bool Engine::ChannelSetTitle(StreamHandle handle, const char *title)
{
    Stream *s = find(handle);
    if (!s || !title)
        return false;
    s->title = title;
    return true;
}

void Engine::setMixTap(MixTap tap)
{
    device_.setTap(std::move(tap));
}

bool Engine::ensureDevice()
{
    // What plays on a device that went away stops where it was heard, and a
    // new device is tried instead.
    if (device_.plays())
        return true;
    for (auto &[h, s] : streams_)
        stopWhereHeard(*s);
    workers_.joinAll();
    return device_.reopen();
}

void Engine::resumeAfterDeviceLoss()
{
    const bool lost = device_.lost();
    if (lost) {
        for (auto &[h, s] : streams_) {
            settle(*s);
            if (s->playback)
                interruptedByDeviceLoss_.insert(h);
        }
    }
    if (interruptedByDeviceLoss_.empty())
        return;
    if (lost || !device_.isOpen()) {
        if (!device_.retryDue(lost) || !ensureDevice())
            return;
    }
    const auto handles = std::move(interruptedByDeviceLoss_);
    interruptedByDeviceLoss_.clear();
    for (StreamHandle h : handles) {
        Stream *s = find(h);
        if (s && !s->playback)
            ChannelPlay(h, false);
    }
}

} // namespace audio

namespace audio {

bool Engine::ChannelQueueNext(StreamHandle current, StreamHandle next)
{
    takeOverQueued();
    Stream *c = find(current);
    Stream *n = find(next);
    if (!initialised_ || !c || !n || c->decodeOnly() || n->decodeOnly())
        return false;
    settle(*c);
    if (!c->playback || c->paused || !device_.plays())
        return false;
    if (c->queuedPlayback && c->queuedNext == next)
        return true;
    // Another stream's own playback, or one queued elsewhere, would play twice.
    if (n != c && (n->playback || n->paused || interruptedByDeviceLoss_.count(next) > 0))
        return false;
    for (StreamHandle h : queuing_) {
        const Stream *other = find(h);
        if (h != current && other && other->queuedPlayback && other->queuedNext == next)
            return false;
    }
    dropQueued(*c);
    workers_.joinExited();
    std::shared_ptr<PlaybackStream> p = startPlayback(*n, 0);
    if (!p)
        return false;
    c->queuedNext = next;
    c->queuedPlayback = p;
    if (std::find(queuing_.begin(), queuing_.end(), current) == queuing_.end())
        queuing_.push_back(current);
    device_.queueAfter(c->playback, std::move(p));
    return true;
}

bool Engine::ChannelCancelNext(StreamHandle current)
{
    takeOverQueued();
    Stream *c = find(current);
    if (!c || !c->queuedPlayback)
        return false;
    // The mixer may start it at any moment: only what the device still holds
    // back is dropped. One that started since the look above has taken over,
    // and is reported as the follower instead of being cut off.
    if (c->playback && !device_.unqueueAfter(c->playback)) {
        takeOverQueued();
        c = find(current);
        if (!c || !c->queuedPlayback)
            return false;
    }
    dropQueued(*c);
    workers_.joinExited();
    return true;
}

StreamHandle Engine::ChannelGetNext(StreamHandle current)
{
    takeOverQueued();
    const Stream *c = find(current);
    return c && c->queuedPlayback ? c->queuedNext : 0;
}

StreamHandle Engine::ChannelTakeFollower(StreamHandle handle)
{
    takeOverQueued();
    Stream *s = find(handle);
    return s ? std::exchange(s->follower, 0) : 0;
}

void Engine::dropQueued(Stream &s)
{
    s.queuedNext = 0;
    if (!s.queuedPlayback)
        return;
    std::shared_ptr<PlaybackStream> p = std::move(s.queuedPlayback);
    if (s.playback)
        device_.unqueueAfter(s.playback);
    // It may have taken over since the last look.
    device_.removeStream(p);
    p->stop();
}

void Engine::dropQueuesOf(StreamHandle next)
{
    for (StreamHandle h : queuing_) {
        Stream *owner = find(h);
        if (owner && owner->queuedNext == next && h != next)
            dropQueued(*owner);
        if (owner && owner->follower == next)
            owner->follower = 0;
    }
}

void Engine::takeOverQueued()
{
    // Handed over in a first pass, as stopping a playback changes the list.
    std::vector<StreamHandle> started;
    for (auto it = queuing_.begin(); it != queuing_.end();) {
        const Stream *s = find(*it);
        if (!s || !s->queuedPlayback) {
            it = queuing_.erase(it);
            continue;
        }
        if (s->queuedPlayback->started()) {
            started.push_back(*it);
            it = queuing_.erase(it);
            continue;
        }
        ++it;
    }
    for (StreamHandle h : started) {
        Stream *s = find(h);
        const StreamHandle nextHandle = s->queuedNext;
        std::shared_ptr<PlaybackStream> p = std::move(s->queuedPlayback);
        s->queuedNext = 0;
        // Its last frame has been mixed: it has played to its end.
        stopPlayback(*s);
        s->positionFrames = s->totalFrames;
        s->paused = false;
        s->follower = nextHandle;
        Stream *n = find(nextHandle);
        if (!n) { // freeing it drops the queue, so this is not expected
            p->stop();
            device_.removeStream(p);
            continue;
        }
        stopPlayback(*n);
        n->paused = false;
        n->playback = std::move(p);
        n->positionFrames = 0;
        interruptedByDeviceLoss_.erase(nextHandle);
    }
}

} // namespace audio
