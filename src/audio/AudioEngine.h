#pragma once

#include <cstdint>

namespace audio {

using StreamHandle = uint32_t;

// Library version reported by GetVersion; callers check the high word.
constexpr uint32_t kEngineVersion = 0x02040000u;

// ApeStreamCreateFile flags.
constexpr uint32_t kFlagUnicodePath = 0x80000000u;
constexpr uint32_t kFlagDecodeOnly = 0x00200000u;

// Position and length mode: bytes of decoded PCM.
constexpr uint32_t kPosByte = 0;

// ChannelGetAttribute attribute: sample rate in Hz.
constexpr uint32_t kAttribFreq = 1;

// ChannelGetData error result.
constexpr uint32_t kDataError = 0xFFFFFFFFu;

// ChannelIsActive results.
constexpr uint32_t kActiveStopped = 0;
constexpr uint32_t kActivePlaying = 1;
constexpr uint32_t kActiveStalled = 2;
constexpr uint32_t kActivePaused = 3;

// ChannelInfo::flags bits: samples are unsigned 8-bit; samples are 32-bit
// IEEE floats.
constexpr uint32_t kInfoSample8Bits = 1;
constexpr uint32_t kInfoSampleFloat = 256;

struct ChannelInfo
{
    uint32_t freq = 0;           // sample rate of the delivered PCM, Hz
    uint32_t chans = 0;          // channel count
    uint32_t flags = 0;          // kInfoSample8Bits, kInfoSampleFloat
    uint32_t origres = 0;        // the source's resolution in bits (8, 16, 24, 32)
    uint32_t bytesPerSample = 0; // width of one delivered sample: 1, 2, 3 or 4
};

// The operations the program needs from an audio engine: the fourteen the
// window was built on, a pause and resume the desktop's media controls need,
// streams of one track of an album image, the title the sound server
// shows, and a queued next stream for the gapless advance. The window talks
// to this interface only, so tests can script an engine of their own.
// Lengths and positions are signed byte counts; -1 reports an error.
class IAudioEngine
{
public:
    virtual ~IAudioEngine() = default;

    virtual uint32_t GetVersion() = 0;
    // device -1 is the default output device; window may be null.
    virtual bool Init(int device, uint32_t freq, uint32_t flags, void *window) = 0;
    virtual bool Free() = 0;

    // path is a NUL-terminated UTF-16 string when flags has kFlagUnicodePath.
    // Returns 0 on failure; handles are never reused while the process runs.
    virtual StreamHandle ApeStreamCreateFile(bool mem, const void *file, uint64_t offset,
                                             uint64_t length, uint32_t flags) = 0;
    // A stream of the sample frames [firstFrame, endFrame) of the file only,
    // flags as for ApeStreamCreateFile. Every length and position of it counts
    // from firstFrame: position 0 is that frame, its length is its frames'
    // bytes, it plays and decodes to endFrame and no further. Returns 0 when
    // the file does not open or the range is empty or not inside it.
    virtual StreamHandle ApeStreamCreateRange(const void *file, uint32_t flags, int64_t firstFrame,
                                              int64_t endFrame) = 0;
    virtual bool StreamFree(StreamHandle handle) = 0;

    virtual bool ChannelPlay(StreamHandle handle, bool restart) = 0;
    virtual bool ChannelStop(StreamHandle handle) = 0;
    // Holds a playing stream where it is heard; ChannelResume plays it on from
    // there (or from where ChannelSetPosition put it meanwhile). Both fail on a
    // stream that is not playing, respectively paused; ChannelPlay and
    // ChannelStop end a pause.
    virtual bool ChannelPause(StreamHandle handle) = 0;
    virtual bool ChannelResume(StreamHandle handle) = 0;
    virtual int64_t ChannelGetLength(StreamHandle handle, uint32_t mode) = 0;
    virtual int64_t ChannelGetPosition(StreamHandle handle, uint32_t mode) = 0;
    virtual bool ChannelSetPosition(StreamHandle handle, int64_t pos, uint32_t mode) = 0;
    virtual uint32_t ChannelIsActive(StreamHandle handle) = 0;
    virtual uint32_t ChannelGetData(StreamHandle handle, void *buffer, uint32_t length) = 0;
    virtual bool ChannelGetInfo(StreamHandle handle, ChannelInfo *info) = 0;
    virtual bool ChannelGetAttribute(StreamHandle handle, uint32_t attrib, float *value) = 0;
    // What the sound server shows as the media name (UTF-8) while the stream
    // plays. Takes effect when the stream next starts with nothing else
    // playing, since the name can only change by opening the device again.
    virtual bool ChannelSetTitle(StreamHandle, const char *) { return false; }

    // Queues `next` to start, from its beginning, on the sample after the
    // last of `current`, which plays: next is opened and decoded ahead from
    // now on, so nothing is heard at the join. next may be current itself
    // (it then plays again). Replaces what was queued after current. Fails
    // when current does not play (or has played to its end), is paused, or
    // next is decode-only, plays already, waits behind another stream or
    // cannot be opened. Stopping, pausing, playing or freeing current drops
    // its queue, and so does freeing or playing next.
    virtual bool ChannelQueueNext(StreamHandle current, StreamHandle next) = 0;
    // Drops what is queued after current before it starts; false when
    // nothing is.
    virtual bool ChannelCancelNext(StreamHandle current) = 0;
    // The stream queued after current and not started yet; 0 with none.
    virtual StreamHandle ChannelGetNext(StreamHandle current) = 0;
    // The stream that took over from `handle` at its end: reported once,
    // then 0. From then on handle is stopped, its position at its length,
    // and the follower plays as if ChannelPlay had started it. A stream
    // played or stopped meanwhile reports none.
    virtual StreamHandle ChannelTakeFollower(StreamHandle handle) = 0;
};

} // namespace audio
