#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace ape {

// What the descriptor and header of a file say, with the frame index built
// from its seek table.
struct StreamInfo
{
    int version = 0;
    int level = 0;        // 1000 (fast) ... 5000 (insane)
    int bits = 0;         // 8, 16, 24 or 32
    bool isFloat = false; // 32-bit IEEE float, coded as transformed integers
    int channels = 0;     // 1 to kMaxChannels
    int sampleRate = 0;
    uint32_t blocksPerFrame = 0;
    uint32_t finalFrameBlocks = 0;
    uint32_t frameCount = 0;

    int64_t totalBlocks() const
    {
        return frameCount == 0 ? 0 : int64_t(frameCount - 1) * blocksPerFrame + finalFrameBlocks;
    }
    uint32_t blocksInFrame(uint32_t frame) const
    {
        return frame + 1 == frameCount ? finalFrameBlocks : blocksPerFrame;
    }
};

// Where one frame's bytes lie. Frames are streams of 32-bit little-endian
// words counted from the first frame, so a frame may begin inside a word:
// `skip` bytes of that word belong to the frame before.
struct FrameSpan
{
    int64_t wordStart = 0; // file offset of the word holding the frame's first byte
    int64_t end = 0;       // file offset just past the last byte the frame may use
    int skip = 0;
};

enum class OpenStatus
{
    Ok,
    Unsupported, // a valid file of a kind this decoder does not handle
    Damaged,     // not a readable APE file
};

// Lowest and highest file version this decoder reads.
constexpr int kMinVersion = 3990;
constexpr int kMaxVersion = 3990;

// Most channels a file may hold.
constexpr int kMaxChannels = 32;

// Largest frame accepted, in blocks; encoders write at most 73728 * 4.
constexpr uint32_t kMaxBlocksPerFrame = 1u << 21;

// Reads everything before the audio data. `read` fetches bytes at a file
// offset and returns how many it got.
class HeaderReader
{
public:
    using ReadAt = std::function<size_t(int64_t at, void *buf, size_t n)>;
    HeaderReader(int64_t fileSize, ReadAt read);

    OpenStatus status() const { return status_; }
    const std::string &error() const { return error_; }
    const StreamInfo &info() const { return info_; }
    const std::vector<FrameSpan> &frames() const { return frames_; }

private:
    OpenStatus parse();
    OpenStatus fail(OpenStatus s, const char *why);
    bool readAt(int64_t at, void *buf, size_t n);
    int64_t audioEnd(int64_t dataStart, const uint8_t *descriptor);

    int64_t fileSize_;
    ReadAt fetch_;
    OpenStatus status_ = OpenStatus::Damaged;
    std::string error_;
    StreamInfo info_;
    std::vector<FrameSpan> frames_;
};

} // namespace ape
