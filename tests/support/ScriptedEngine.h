#pragma once

#include "audio/AudioEngine.h"

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

// An engine whose answers a test chooses. Every call is recorded in `calls`
// as text ("ChannelPlay 3"), so tests can check the order of operations.
class ScriptedEngine : public audio::IAudioEngine
{
public:
    struct Stream
    {
        std::u16string path;
        uint32_t flags = 0;
        int64_t length = 1000000;
        int64_t position = 0;
        bool playing = false;
        bool paused = false;
        audio::ChannelInfo info{44100, 2, 0, 16, 2};
        float rate = 44100.0f;
        // Decode-only streams: the bytes delivered, and an optional failure
        // after this many bytes (-1: none).
        std::vector<uint8_t> data;
        int64_t failAfter = -1;
        bool ended = false;
        // Range streams: the file's frames they stand for (endFrame -1: the
        // whole file).
        int64_t firstFrame = 0;
        int64_t endFrame = -1;
    };

    uint32_t version = audio::kEngineVersion;
    bool initResult = true;
    bool playResult = true;
    std::set<std::u16string> refusedPaths;
    // Lengths, positions and data given to streams of a path at creation.
    std::map<std::u16string, int64_t> lengthForPath;
    std::map<std::u16string, std::vector<uint8_t>> dataForPath;
    std::map<std::u16string, int64_t> failAfterForPath;
    std::map<std::u16string, audio::ChannelInfo> infoForPath;

    // Run at the start of ChannelGetData and of StreamFree, so a test can look
    // at the window while a decode is under way.
    std::function<void(audio::StreamHandle)> onGetData;
    std::function<void(audio::StreamHandle)> onStreamFree;

    std::vector<std::string> calls;
    std::map<audio::StreamHandle, Stream> streams;
    bool initialised = false;

    Stream *stream(audio::StreamHandle h);
    // Calls whose text starts with prefix, in order.
    std::vector<std::string> callsStartingWith(const std::string &prefix) const;

    uint32_t GetVersion() override;
    bool Init(int device, uint32_t freq, uint32_t flags, void *window) override;
    bool Free() override;
    audio::StreamHandle ApeStreamCreateFile(bool mem, const void *file, uint64_t offset,
                                            uint64_t length, uint32_t flags) override;
    audio::StreamHandle ApeStreamCreateRange(const void *file, uint32_t flags, int64_t firstFrame,
                                             int64_t endFrame) override;
    bool StreamFree(audio::StreamHandle handle) override;
    bool ChannelPlay(audio::StreamHandle handle, bool restart) override;
    bool ChannelStop(audio::StreamHandle handle) override;
    bool ChannelPause(audio::StreamHandle handle) override;
    bool ChannelResume(audio::StreamHandle handle) override;
    int64_t ChannelGetLength(audio::StreamHandle handle, uint32_t mode) override;
    int64_t ChannelGetPosition(audio::StreamHandle handle, uint32_t mode) override;
    bool ChannelSetPosition(audio::StreamHandle handle, int64_t pos, uint32_t mode) override;
    uint32_t ChannelIsActive(audio::StreamHandle handle) override;
    uint32_t ChannelGetData(audio::StreamHandle handle, void *buffer, uint32_t length) override;
    bool ChannelGetInfo(audio::StreamHandle handle, audio::ChannelInfo *info) override;
    bool ChannelGetAttribute(audio::StreamHandle handle, uint32_t attrib, float *value) override;
    // No stream is ever queued: the window advances as the design does, by
    // Stop and Play. Not recorded, so the design's call sequences stay as
    // they are.
    bool ChannelQueueNext(audio::StreamHandle, audio::StreamHandle) override { return false; }
    bool ChannelCancelNext(audio::StreamHandle) override { return false; }
    audio::StreamHandle ChannelGetNext(audio::StreamHandle) override { return 0; }
    audio::StreamHandle ChannelTakeFollower(audio::StreamHandle) override { return 0; }

private:
    audio::StreamHandle nextHandle_ = 100;
    audio::StreamHandle create(const std::u16string &path, uint32_t flags);
    void record(const std::string &text) { calls.push_back(text); }
};
