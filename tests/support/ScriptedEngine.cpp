#include "ScriptedEngine.h"

#include <QString>
#include <algorithm>
#include <cstring>

using namespace audio;

namespace {

// A name that is not UTF-8 comes as its bytes, and is known here by its text.
std::u16string pathOf(const void *file, uint32_t flags)
{
    if (flags & kFlagUnicodePath)
        return static_cast<const char16_t *>(file);
    return QString::fromUtf8(static_cast<const char *>(file)).toStdU16String();
}

} // namespace

ScriptedEngine::Stream *ScriptedEngine::stream(StreamHandle h)
{
    auto it = streams.find(h);
    return it == streams.end() ? nullptr : &it->second;
}

std::vector<std::string> ScriptedEngine::callsStartingWith(const std::string &prefix) const
{
    std::vector<std::string> out;
    for (const auto &c : calls)
        if (c.rfind(prefix, 0) == 0)
            out.push_back(c);
    return out;
}

uint32_t ScriptedEngine::GetVersion()
{
    record("GetVersion");
    return version;
}

bool ScriptedEngine::Init(int device, uint32_t freq, uint32_t flags, void *)
{
    record("Init " + std::to_string(device) + " " + std::to_string(freq) + " " +
           std::to_string(flags));
    initialised = initResult;
    return initResult;
}

bool ScriptedEngine::Free()
{
    record("Free");
    initialised = false;
    return true;
}

StreamHandle ScriptedEngine::ApeStreamCreateFile(bool, const void *file, uint64_t, uint64_t,
                                                 uint32_t flags)
{
    record("ApeStreamCreateFile " + std::to_string(flags));
    return create(pathOf(file, flags), flags);
}

StreamHandle ScriptedEngine::ApeStreamCreateRange(const void *file, uint32_t flags,
                                                  int64_t firstFrame, int64_t endFrame)
{
    record("ApeStreamCreateRange " + std::to_string(flags) + " " + std::to_string(firstFrame) +
           " " + std::to_string(endFrame));
    if (firstFrame < 0 || endFrame <= firstFrame)
        return 0;
    const StreamHandle h = create(pathOf(file, flags), flags);
    Stream *s = stream(h);
    if (!s)
        return 0;
    // The range's share of what the whole file would give.
    const int64_t bpf = int64_t(s->info.chans) * s->info.bytesPerSample;
    s->firstFrame = firstFrame;
    s->endFrame = endFrame;
    if (!s->data.empty()) {
        const auto size = static_cast<int64_t>(s->data.size());
        const int64_t from = std::min(firstFrame * bpf, size);
        const int64_t to = std::min(endFrame * bpf, size);
        s->data = std::vector<uint8_t>(s->data.begin() + from, s->data.begin() + to);
        s->length = to - from;
    } else {
        s->length = (endFrame - firstFrame) * bpf;
    }
    return h;
}

StreamHandle ScriptedEngine::create(const std::u16string &path, uint32_t flags)
{
    if (!initialised || refusedPaths.count(path))
        return 0;
    Stream s;
    s.path = path;
    s.flags = flags;
    if (auto it = infoForPath.find(path); it != infoForPath.end()) {
        s.info = it->second;
        s.rate = static_cast<float>(s.info.freq);
    }
    if (auto it = lengthForPath.find(path); it != lengthForPath.end())
        s.length = it->second;
    if (auto it = dataForPath.find(path); it != dataForPath.end()) {
        s.data = it->second;
        s.length = static_cast<int64_t>(s.data.size());
    }
    if (auto it = failAfterForPath.find(path); it != failAfterForPath.end())
        s.failAfter = it->second;
    StreamHandle h = nextHandle_++;
    streams[h] = s;
    return h;
}

bool ScriptedEngine::StreamFree(StreamHandle handle)
{
    record("StreamFree " + std::to_string(handle));
    if (onStreamFree)
        onStreamFree(handle);
    return streams.erase(handle) > 0;
}

bool ScriptedEngine::ChannelPlay(StreamHandle handle, bool restart)
{
    record("ChannelPlay " + std::to_string(handle));
    Stream *s = stream(handle);
    if (!s || !playResult)
        return false;
    if (restart)
        s->position = 0;
    s->playing = true;
    s->paused = false;
    return true;
}

bool ScriptedEngine::ChannelStop(StreamHandle handle)
{
    record("ChannelStop " + std::to_string(handle));
    Stream *s = stream(handle);
    if (!s)
        return false;
    s->playing = false;
    s->paused = false;
    return true;
}

bool ScriptedEngine::ChannelPause(StreamHandle handle)
{
    record("ChannelPause " + std::to_string(handle));
    Stream *s = stream(handle);
    if (!s || !s->playing)
        return false;
    s->playing = false;
    s->paused = true;
    return true;
}

bool ScriptedEngine::ChannelResume(StreamHandle handle)
{
    record("ChannelResume " + std::to_string(handle));
    Stream *s = stream(handle);
    if (!s || !s->paused || !playResult)
        return false;
    s->paused = false;
    s->playing = true;
    return true;
}

int64_t ScriptedEngine::ChannelGetLength(StreamHandle handle, uint32_t)
{
    Stream *s = stream(handle);
    return s ? s->length : -1;
}

int64_t ScriptedEngine::ChannelGetPosition(StreamHandle handle, uint32_t)
{
    Stream *s = stream(handle);
    return s ? s->position : -1;
}

bool ScriptedEngine::ChannelSetPosition(StreamHandle handle, int64_t pos, uint32_t)
{
    record("ChannelSetPosition " + std::to_string(handle) + " " + std::to_string(pos));
    Stream *s = stream(handle);
    if (!s)
        return false;
    s->position = pos;
    return true;
}

uint32_t ScriptedEngine::ChannelIsActive(StreamHandle handle)
{
    Stream *s = stream(handle);
    if (!s || s->ended)
        return kActiveStopped;
    if (s->flags & kFlagDecodeOnly)
        return s->position < static_cast<int64_t>(s->data.size()) ? kActivePlaying : kActiveStopped;
    if (s->paused)
        return kActivePaused;
    return s->playing ? kActivePlaying : kActiveStopped;
}

uint32_t ScriptedEngine::ChannelGetData(StreamHandle handle, void *buffer, uint32_t length)
{
    if (onGetData)
        onGetData(handle);
    Stream *s = stream(handle);
    if (!s || s->ended)
        return kDataError;
    if (s->failAfter >= 0 && s->position >= s->failAfter) {
        s->ended = true;
        return kDataError;
    }
    int64_t left = static_cast<int64_t>(s->data.size()) - s->position;
    int64_t n = std::min<int64_t>(left, length);
    if (s->failAfter >= 0)
        n = std::min<int64_t>(n, s->failAfter - s->position);
    if (n > 0)
        std::memcpy(buffer, s->data.data() + s->position, static_cast<size_t>(n));
    s->position += n;
    return static_cast<uint32_t>(n);
}

bool ScriptedEngine::ChannelGetInfo(StreamHandle handle, ChannelInfo *info)
{
    Stream *s = stream(handle);
    if (!s)
        return false;
    *info = s->info;
    return true;
}

bool ScriptedEngine::ChannelGetAttribute(StreamHandle handle, uint32_t attrib, float *value)
{
    Stream *s = stream(handle);
    if (!s || attrib != kAttribFreq)
        return false;
    *value = s->rate;
    return true;
}
