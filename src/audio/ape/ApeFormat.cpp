#include "ApeFormat.h"

#include <cstring>

namespace ape {

namespace {

uint16_t le16(const uint8_t *p)
{
    return uint16_t(p[0] | (p[1] << 8));
}

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

constexpr int kDescriptorBytes = 52;
constexpr int kHeaderBytes = 24;
constexpr uint16_t kFloatFlag = 0x1000;

} // namespace

HeaderReader::HeaderReader(int64_t fileSize, ReadAt read)
    : fileSize_(fileSize), fetch_(std::move(read))
{
    status_ = parse();
    if (status_ != OpenStatus::Ok)
        frames_.clear();
}

OpenStatus HeaderReader::fail(OpenStatus s, const char *why)
{
    error_ = why;
    return s;
}

bool HeaderReader::readAt(int64_t at, void *buf, size_t n)
{
    if (at < 0 || at > fileSize_ || int64_t(n) > fileSize_ - at)
        return false;
    return fetch_(at, buf, n) == n;
}

OpenStatus HeaderReader::parse()
{
    // A leading ID3v2 tag is skipped; its size is stored in 7-bit bytes.
    int64_t junk = 0;
    uint8_t id3[10];
    if (readAt(0, id3, sizeof id3) && std::memcmp(id3, "ID3", 3) == 0) {
        if ((id3[6] | id3[7] | id3[8] | id3[9]) & 0x80)
            return fail(OpenStatus::Damaged, "damaged ID3v2 tag");
        junk = 10 + ((int64_t(id3[6]) << 21) | (id3[7] << 14) | (id3[8] << 7) | id3[9]);
        if (id3[5] & 0x10)
            junk += 10;
    }

    uint8_t d[kDescriptorBytes];
    if (!readAt(junk, d, 6))
        return fail(OpenStatus::Damaged, "file too short for an APE header");
    // Float files carry their own magic, but it is the header's flag that
    // says how the samples are coded.
    if (std::memcmp(d, "MAC ", 4) != 0 && std::memcmp(d, "MACF", 4) != 0)
        return fail(OpenStatus::Damaged, "not an APE file");
    const int version = le16(d + 4);
    if (version < kMinVersion || version > kMaxVersion)
        return fail(OpenStatus::Unsupported, "APE file version not handled natively");
    if (!readAt(junk, d, sizeof d))
        return fail(OpenStatus::Damaged, "APE descriptor cut short");

    const uint32_t descriptorLength = le32(d + 8);
    const uint32_t headerLength = le32(d + 12);
    const uint32_t seekTableLength = le32(d + 16);
    const uint32_t wavHeaderLength = le32(d + 20);
    if (descriptorLength < kDescriptorBytes || headerLength < kHeaderBytes)
        return fail(OpenStatus::Damaged, "APE descriptor has impossible lengths");

    uint8_t h[kHeaderBytes];
    if (!readAt(junk + descriptorLength, h, sizeof h))
        return fail(OpenStatus::Damaged, "APE header cut short");
    info_.version = version;
    info_.level = le16(h + 0);
    const uint16_t formatFlags = le16(h + 2);
    info_.blocksPerFrame = le32(h + 4);
    info_.finalFrameBlocks = le32(h + 8);
    info_.frameCount = le32(h + 12);
    info_.bits = le16(h + 16);
    info_.channels = le16(h + 18);
    const uint32_t rate = le32(h + 20);

    if (info_.level % 1000 != 0 || info_.level < 1000 || info_.level > 5000)
        return fail(OpenStatus::Damaged, "unknown APE compression level");
    if (info_.bits != 8 && info_.bits != 16 && info_.bits != 24 && info_.bits != 32)
        return fail(OpenStatus::Damaged, "impossible sample width");
    info_.isFloat = (formatFlags & kFloatFlag) != 0;
    if (info_.isFloat && info_.bits != 32)
        return fail(OpenStatus::Damaged, "floating-point samples that are not 32 bits wide");
    if (info_.channels < 1 || info_.channels > kMaxChannels)
        return fail(OpenStatus::Damaged, "impossible channel count");
    if (rate == 0 || rate > 1536000)
        return fail(OpenStatus::Damaged, "impossible sample rate");
    info_.sampleRate = int(rate);
    if (info_.blocksPerFrame == 0 || info_.blocksPerFrame > kMaxBlocksPerFrame)
        return fail(OpenStatus::Damaged, "impossible frame size");
    if (info_.frameCount == 0)
        return fail(OpenStatus::Damaged, "APE file has no frames");
    if (info_.finalFrameBlocks == 0 || info_.finalFrameBlocks > info_.blocksPerFrame)
        return fail(OpenStatus::Damaged, "impossible final frame size");
    if (seekTableLength / 4 < info_.frameCount)
        return fail(OpenStatus::Damaged, "seek table shorter than the frame count");

    const int64_t seekTableStart = junk + int64_t(descriptorLength) + headerLength;
    const int64_t firstFrame = seekTableStart + seekTableLength + int64_t(wavHeaderLength);
    if (firstFrame > fileSize_)
        return fail(OpenStatus::Damaged, "APE headers run past the end of the file");
    std::vector<uint8_t> table(size_t(info_.frameCount) * 4);
    if (!readAt(seekTableStart, table.data(), table.size()))
        return fail(OpenStatus::Damaged, "seek table cut short");

    const int64_t end = audioEnd(firstFrame, d);

    // A seek entry that points backwards or outside the audio leaves its
    // frame without data, so that frame fails alone.
    std::vector<int64_t> pos(info_.frameCount, -1);
    pos[0] = firstFrame;
    int64_t last = firstFrame;
    // Entries are 32-bit and wrap in files beyond 4 GiB: an entry far below
    // the one before (by more than any frame's length) has wrapped once more.
    constexpr int64_t kWrap = int64_t(1) << 32;
    int64_t wraps = 0;
    for (uint32_t i = 1; i < info_.frameCount; ++i) {
        int64_t p = int64_t(le32(&table[size_t(i) * 4])) + junk + wraps;
        if (last - p > kWrap / 2 && p + kWrap <= end) {
            wraps += kWrap;
            p += kWrap;
        }
        if (p >= last && p <= end) {
            pos[i] = p;
            last = p;
        }
    }
    frames_.resize(info_.frameCount);
    int64_t next = end;
    for (uint32_t i = info_.frameCount; i-- > 0;) {
        FrameSpan &f = frames_[i];
        if (pos[i] < 0) {
            f.wordStart = f.end = end;
            continue;
        }
        f.skip = int((pos[i] - firstFrame) & 3);
        f.wordStart = pos[i] - f.skip;
        f.end = std::min(firstFrame + ((next - firstFrame + 3) & ~int64_t(3)), end);
        next = pos[i];
    }
    return OpenStatus::Ok;
}

int64_t HeaderReader::audioEnd(int64_t dataStart, const uint8_t *descriptor)
{
    int64_t end = fileSize_;
    uint8_t buf[32];
    if (end - dataStart >= 128 && readAt(end - 128, buf, 3) && std::memcmp(buf, "TAG", 3) == 0)
        end -= 128;
    if (end - dataStart >= 32 && readAt(end - 32, buf, 32) &&
        std::memcmp(buf, "APETAGEX", 8) == 0) {
        int64_t size = le32(buf + 12);
        if (le32(buf + 20) & 0x80000000u)
            size += 32;
        if (size >= 32 && size <= end - dataStart)
            end -= size;
    }
    const uint32_t wavTail = le32(descriptor + 32);
    if (wavTail <= end - dataStart)
        end -= wavTail;
    return end;
}

} // namespace ape
