#include "ScriptedEngine.h"

#include <algorithm>
#include <cstring>

using namespace audio;

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
    std::u16string path(static_cast<const char16_t *>(file));
    record("ApeStreamCreateFile " + std::to_string(flags));
    if (!initialised || refusedPaths.count(path))
        return 0;
    Stream s;
    s.path = path;
    s.flags = flags;
    if (auto it = lengthForPath.find(path); it != lengthForPath.end())
        s.length = it->second;
    if (auto it = dataForPath.find(path); it != dataForPath.end()) {
        s.data = it->second;
        s.length = static_cast<int64_t>(s.data.size());
    }
    if (auto it = failAfterForPath.find(path); it != failAfterForPath.end())
        s.failAfter = it->second;
    if (auto it = infoForPath.find(path); it != infoForPath.end()) {
        s.info = it->second;
        s.rate = static_cast<float>(s.info.freq);
    }
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
