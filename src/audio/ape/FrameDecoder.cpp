#include "FrameDecoder.h"

#include "Crc32.h"
#include "PcmOut.h"
#include "Predictor.h"
#include "RangeDecoder.h"

#include <algorithm>
#include <cstring>

namespace ape {

namespace {

// Frame flags stored after the CRC.
constexpr uint32_t kLeftSilent = 1;
constexpr uint32_t kRightSilent = 2;
constexpr uint32_t kPseudoStereo = 4;

uint32_t be32(const uint8_t *p)
{
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}

// Float samples are coded as integers by a transform that is its own
// inverse; it maps the usual range of audio to small values.
void floatsFromCodes(uint8_t *pcm, size_t count)
{
    for (uint8_t *p = pcm; p < pcm + count * 4; p += 4) {
        uint32_t w =
            uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        w ^= 0x3C000000u;
        if (w & 0x80000000u)
            w ^= 0x7FFFFFFFu;
        for (int b = 0; b < 4; ++b)
            p[b] = uint8_t(w >> (8 * b));
    }
}

} // namespace

FrameDecoder::FrameDecoder(const StreamInfo &info, DotAdaptFn kernel)
    : info_(info), fused_(kernels::fusedFor(kernel))
{
    if (info.bits == 32 || info.channels > 2) {
        wide_ = std::make_unique<WideFrame>(info, kernel);
        return;
    }
    for (const FilterStage &s : kLevelStages[info.level / 1000 - 1]) {
        if (s.order == 0)
            break;
        for (auto &f : filters_)
            f.push_back(std::make_unique<NNFilter>(s.order, s.fractionBits, kernel));
    }
}

bool FrameDecoder::decode(std::vector<uint8_t> &bytes, int skip, uint32_t blocks, uint8_t *pcm)
{
    // The stream is made of little-endian 32-bit words read most significant
    // byte first; a missing tail of the last word reads as zeros.
    bytes.resize((bytes.size() + 3) / 4 * 4, 0);
    for (size_t w = 0; w < bytes.size(); w += 4) {
        std::swap(bytes[w], bytes[w + 3]);
        std::swap(bytes[w + 1], bytes[w + 2]);
    }
    if (skip < 0 || size_t(skip) > bytes.size())
        return false;
    const uint8_t *p = bytes.data() + skip;
    const uint8_t *end = bytes.data() + bytes.size();
    if (end - p < 6)
        return false;
    uint32_t crc = be32(p);
    p += 4;
    uint32_t flags = 0;
    if (crc & 0x80000000u) {
        if (end - p < 6)
            return false;
        crc &= 0x7fffffffu;
        flags = be32(p);
        p += 4;
    }
    // One byte of the stream is unused before the range coder's first.
    ++p;
    RangeDecoder rc;
    rc.start(p, end);
    rc_ = &rc;

    if (wide_) {
        if (!wide_->decode(rc, flags, blocks, pcm) || !crcMatches(pcm, blocks, crc))
            return false;
        if (info_.isFloat)
            floatsFromCodes(pcm, size_t(blocks) * size_t(info_.channels));
        return true;
    }

    const int channels = info_.channels;
    // Stereo 8- and 16-bit frames go through one pass straight to PCM;
    // 24-bit frames may need their prediction run twice, mono has no pass.
    const bool bothSilent = (flags & (kLeftSilent | kRightSilent)) == (kLeftSilent | kRightSilent);
    const bool narrow = info_.bits == 8 || info_.bits == 16;
    if (fused_ && narrow && channels == 2 && !(flags & kPseudoStereo) && !bothSilent) {
        NNFilter::State *fy[3] = {}, *fx[3] = {};
        const int stages = int(filters_[0].size());
        for (int i = 0; i < stages; ++i) {
            filters_[0][size_t(i)]->reset();
            filters_[1][size_t(i)]->reset();
            fy[i] = &filters_[0][size_t(i)]->state();
            fx[i] = &filters_[1][size_t(i)]->state();
        }
        const int r = fused_(rc, fy, fx, stages, info_.bits, pcm, blocks);
        if (r >= 0)
            return r == 1 && crcMatches(pcm, blocks, crc);
    }

    for (int c = 0; c < 2; ++c)
        ch_[c].assign(blocks, 0);

    if (channels == 1 || (flags & kPseudoStereo)) {
        if (!(flags & (kLeftSilent | kRightSilent))) {
            if (!entropy(false, blocks))
                return false;
            filter(ch_[0].data(), 0, blocks);
            unpredictMono(ch_[0].data(), int(blocks));
        }
        if (channels == 2)
            ch_[1] = ch_[0];
        return finish(blocks, pcm, crc);
    }

    if (bothSilent)
        return finish(blocks, pcm, crc);
    if (!entropy(true, blocks))
        return false;
    filter(ch_[0].data(), 0, blocks);
    filter(ch_[1].data(), 1, blocks);

    const bool tryBoth = info_.bits == 24;
    if (tryBoth) {
        saved_[0] = ch_[0];
        saved_[1] = ch_[1];
    }
    int width = tryBoth ? widthHint_->load(std::memory_order_relaxed) : 32;
    for (int attempt = 0; attempt < (tryBoth ? 2 : 1); ++attempt) {
        if (attempt == 1) {
            width = width == 32 ? 64 : 32;
            ch_[0] = saved_[0];
            ch_[1] = saved_[1];
        }
        if (width == 64)
            unpredictStereo<int64_t>(ch_[0].data(), ch_[1].data(), int(blocks));
        else
            unpredictStereo<int32_t>(ch_[0].data(), ch_[1].data(), int(blocks));

        // The coded channels are a difference and a base; back to left and right.
        int32_t *y = ch_[0].data();
        int32_t *x = ch_[1].data();
        for (uint32_t i = 0; i < blocks; ++i) {
            const int32_t d = y[i];
            const uint32_t left = uint32_t(x[i]) - uint32_t(d / 2);
            y[i] = int32_t(left);
            x[i] = int32_t(left + uint32_t(d));
        }
        if (finish(blocks, pcm, crc)) {
            if (tryBoth)
                widthHint_->store(width, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}

bool FrameDecoder::entropy(bool stereo, uint32_t blocks)
{
    RangeDecoder &rc = *rc_;
    RiceState riceY, riceX;
    bool bad = false;
    int32_t *y = ch_[0].data();
    int32_t *x = ch_[1].data();
    for (uint32_t done = 0; done < blocks;) {
        const uint32_t n = std::min(kResidualChunk, blocks - done);
        if (stereo) {
            for (uint32_t i = done; i < done + n; ++i) {
                y[i] = decodeResidual(rc, riceY, bad);
                x[i] = decodeResidual(rc, riceX, bad);
            }
        } else {
            for (uint32_t i = done; i < done + n; ++i)
                y[i] = decodeResidual(rc, riceY, bad);
        }
        if (bad || rc.overrun() > kOverrunAllowance)
            return false;
        done += n;
    }
    return true;
}

void FrameDecoder::filter(int32_t *data, int channel, uint32_t blocks)
{
    for (auto &f : filters_[channel]) {
        f->reset();
        f->apply(data, int(blocks));
    }
}

bool FrameDecoder::finish(uint32_t blocks, uint8_t *pcm, uint32_t crc)
{
    if (info_.channels == 2)
        interleavePcm<2>(ch_[0].data(), ch_[1].data(), blocks, info_.bits, pcm);
    else
        interleavePcm<1>(ch_[0].data(), nullptr, blocks, info_.bits, pcm);
    return crcMatches(pcm, blocks, crc);
}

bool FrameDecoder::crcMatches(const uint8_t *pcm, uint32_t blocks, uint32_t crc) const
{
    const size_t size = size_t(blocks) * size_t(info_.channels) * size_t(info_.bits / 8);
    const uint32_t state = crc32Update(0xFFFFFFFFu, pcm, size);
    return (~state >> 1) == crc;
}

} // namespace ape
