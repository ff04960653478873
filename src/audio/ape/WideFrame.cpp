#include "WideFrame.h"

#include "Predictor.h"
#include "RangeDecoder.h"

#include <algorithm>
#include <cstring>

namespace ape {

namespace {

// Blocks decoded between the stages.
constexpr uint32_t kChunk = 2048;

struct Narrow
{
    using Residual = int32_t;
    using Predictor = ChannelPredictor<int32_t>;
    [[gnu::always_inline]] static int32_t residual(RangeDecoder &rc, RiceState &rice, bool &bad)
    {
        return decodeResidual(rc, rice, bad);
    }
};

struct Wide
{
    using Residual = int64_t;
    using Predictor = WidePredictor;
    [[gnu::always_inline]] static int64_t residual(RangeDecoder &rc, RiceState &rice, bool &bad)
    {
        return decodeWideResidual(rc, rice, bad);
    }
};

// One block of `Coded` channels' residuals (0: any count), in channel order.
template <typename Traits, int Coded>
bool entropy(RangeDecoder &rc, RiceState *rice, int coded, typename Traits::Residual *res,
             uint32_t count)
{
    const int n = Coded ? Coded : coded;
    bool bad = false;
    for (uint32_t i = 0; i < count; ++i)
        for (int c = 0; c < n; ++c)
            res[size_t(c) * kChunk + i] = Traits::residual(rc, rice[c], bad);
    return !bad && rc.overrun() <= kOverrunAllowance;
}

// The left and right of a mid (x) and side (y) pair, in place.
inline void unpair(int32_t *x, int32_t *y, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        const uint32_t first = uint32_t(x[i]) - uint32_t(y[i] / 2);
        x[i] = int32_t(first);
        y[i] = int32_t(first + uint32_t(y[i]));
    }
}

} // namespace

WideFrame::WideFrame(const StreamInfo &info, DotAdaptFn kernel)
    : info_(info), out_(size_t(info.channels) * kChunk)
{
    const bool wide = info.bits == 32;
    (wide ? wideResiduals_.resize(size_t(info.channels) * kChunk)
          : residuals_.resize(size_t(info.channels) * kChunk));
    filters_.resize(size_t(info.channels));
    wideFilters_.resize(size_t(info.channels));
    for (const FilterStage &s : kLevelStages[info.level / 1000 - 1]) {
        if (s.order == 0)
            break;
        for (int c = 0; c < info.channels; ++c) {
            if (wide)
                wideFilters_[size_t(c)].push_back(
                    std::make_unique<WideNNFilter>(s.order, s.fractionBits, kernel));
            else
                filters_[size_t(c)].push_back(
                    std::make_unique<NNFilter>(s.order, s.fractionBits, kernel));
        }
    }
    // 16- and 24-bit files of four or more channels code some neighbours as
    // stereo pairs; seven channels are paired like six, but encoders write
    // them wrongly and their frames fail their CRC.
    if ((info.bits == 16 || info.bits == 24) && info.channels > 3 && info.channels != 5) {
        pairs_.push_back({0, 1});
        if (info.channels == 4)
            pairs_.push_back({2, 3});
        if (info.channels >= 6)
            pairs_.push_back({4, 5});
        if (info.channels >= 8)
            pairs_.push_back({6, 7});
    }
    checkRange_ = info.bits == 16 && !pairs_.empty() && info.channels != 7;
}

bool WideFrame::decode(RangeDecoder &rc, uint32_t flags, uint32_t blocks, uint8_t *pcm)
{
    // Mono and stereo frames may be silent or pseudo-stereo (one channel
    // coded for both); frames of more channels code every channel.
    constexpr uint32_t kLeftSilent = 1, kRightSilent = 2, kPseudoStereo = 4;
    int coded = info_.channels;
    if (info_.channels <= 2) {
        const uint32_t silent = flags & (kLeftSilent | kRightSilent);
        if (info_.channels == 1 || (flags & kPseudoStereo))
            coded = silent ? 0 : 1;
        else if (silent == (kLeftSilent | kRightSilent))
            coded = 0;
    }
    const bool stereo = info_.channels == 2 && coded == 2;
    if (info_.bits == 32)
        return run<Wide>(rc, coded, stereo, blocks, pcm);
    return run<Narrow>(rc, coded, stereo, blocks, pcm);
}

template <typename Traits>
bool WideFrame::run(RangeDecoder &rc, int coded, bool stereo, uint32_t blocks, uint8_t *pcm)
{
    using Residual = typename Traits::Residual;
    constexpr bool kWide = std::is_same_v<Residual, int64_t>;
    Residual *res;
    if constexpr (kWide)
        res = wideResiduals_.data();
    else
        res = residuals_.data();
    std::vector<RiceState> rice(static_cast<size_t>(coded));
    std::vector<typename Traits::Predictor> predictors(static_cast<size_t>(coded));
    for (int c = 0; c < coded; ++c) {
        if constexpr (kWide)
            for (auto &f : wideFilters_[size_t(c)])
                f->reset();
        else
            for (auto &f : filters_[size_t(c)])
                f->reset();
    }
    std::fill(out_.begin(), out_.end(), 0);
    const size_t blockBytes = size_t(info_.channels) * size_t(info_.bits / 8);

    for (uint32_t done = 0; done < blocks;) {
        const uint32_t n = std::min(kChunk, blocks - done);
        const bool ok = coded == 1   ? entropy<Traits, 1>(rc, rice.data(), coded, res, n)
                        : coded == 2 ? entropy<Traits, 2>(rc, rice.data(), coded, res, n)
                                     : entropy<Traits, 0>(rc, rice.data(), coded, res, n);
        if (!ok)
            return false;
        for (int c = 0; c < coded; ++c) {
            Residual *r = res + size_t(c) * kChunk;
            if constexpr (kWide)
                for (auto &f : wideFilters_[size_t(c)])
                    f->apply(r, int(n));
            else
                for (auto &f : filters_[size_t(c)])
                    f->apply(r, int(n));
        }
        if (stereo) {
            // The side (y) comes first and is predicted from the mid before
            // it, the mid from the side beside it.
            auto &py = predictors[0];
            auto &px = predictors[1];
            int32_t *y = out_.data();
            int32_t *x = out_.data() + kChunk;
            for (uint32_t i = 0; i < n; ++i) {
                y[i] = py.template step<true>(res[i], px.output());
                x[i] = px.template step<true>(res[kChunk + i], py.output());
            }
            unpair(x, y, n);
            std::swap_ranges(x, x + n, y);
        } else {
            for (int c = 0; c < coded; ++c) {
                auto &p = predictors[size_t(c)];
                const Residual *r = res + size_t(c) * kChunk;
                int32_t *o = out_.data() + size_t(c) * kChunk;
                for (uint32_t i = 0; i < n; ++i)
                    o[i] = p.template step<false>(r[i], 0);
            }
            if (coded == 1 && info_.channels == 2)
                std::copy_n(out_.data(), n, out_.data() + kChunk);
        }
        pair(n);
        if (checkRange_ && !inRange(int(n)))
            return false;
        write(int(n), pcm + size_t(done) * blockBytes);
        done += n;
    }
    return true;
}

void WideFrame::pair(uint32_t count)
{
    for (const auto &[first, second] : pairs_) {
        int32_t *a = out_.data() + size_t(first) * kChunk;
        int32_t *b = out_.data() + size_t(second) * kChunk;
        unpair(a, b, count);
    }
}

// The encoder cannot have written a value outside 16 bits in the paired
// part of a 16-bit frame; one there means damage.
bool WideFrame::inRange(int count) const
{
    const int channels = std::min(info_.channels, 8);
    for (int c = 0; c < channels; ++c) {
        const int32_t *o = out_.data() + size_t(c) * kChunk;
        for (int i = 0; i < count; ++i)
            if (o[i] < -32768 || o[i] > 32767)
                return false;
    }
    return true;
}

void WideFrame::write(int count, uint8_t *pcm) const
{
    const int channels = info_.channels;
    const int bytes = info_.bits / 8;
    const size_t stride = size_t(channels) * size_t(bytes);
    for (int c = 0; c < channels; ++c) {
        const int32_t *v = out_.data() + size_t(c) * kChunk;
        uint8_t *o = pcm + size_t(c) * size_t(bytes);
        switch (bytes) {
        case 1:
            for (int i = 0; i < count; ++i, o += stride)
                *o = uint8_t(v[i] + 0x80);
            break;
        case 2:
            for (int i = 0; i < count; ++i, o += stride) {
                o[0] = uint8_t(v[i]);
                o[1] = uint8_t(v[i] >> 8);
            }
            break;
        case 3:
            for (int i = 0; i < count; ++i, o += stride) {
                o[0] = uint8_t(v[i]);
                o[1] = uint8_t(v[i] >> 8);
                o[2] = uint8_t(v[i] >> 16);
            }
            break;
        default:
            for (int i = 0; i < count; ++i, o += stride) {
                o[0] = uint8_t(v[i]);
                o[1] = uint8_t(v[i] >> 8);
                o[2] = uint8_t(v[i] >> 16);
                o[3] = uint8_t(v[i] >> 24);
            }
            break;
        }
    }
}

} // namespace ape
