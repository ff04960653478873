#pragma once

#include <cstdint>
#include <type_traits>

namespace ape {

// The final prediction stage of one channel: a 4-tap filter over the
// channel's own history and, in stereo, a 5-tap filter over the other
// channel's output, both with sign-sign adaption, followed by a first-order
// integrator.
//
// T is the width the arithmetic wraps at. Encoders wrap at 32 bits for most
// files, but some 24-bit files were written with 64-bit prediction; the frame
// CRC tells which.
template <typename T> class ChannelPredictor
{
    using U = std::make_unsigned_t<T>;

public:
    // The channel's integrator output, which the other channel predicts from.
    T output() const { return filterA_; }

    // One sample. `other` is the other channel's latest output (0 in mono).
    template <bool Stereo> [[gnu::always_inline]] int32_t step(int32_t residual, T other)
    {
        const T a0 = lastA_;
        const T a1 = T(U(a0) - U(a_[0]));
        a_[3] = a_[2];
        a_[2] = a_[1];
        a_[1] = a1;
        a_[0] = a0;
        sa_[3] = sa_[2];
        sa_[2] = sa_[1];
        sa_[1] = negSign(a1);
        sa_[0] = negSign(a0);
        U predA = U(a_[0]) * U(ca_[0]) + U(a_[1]) * U(ca_[1]) + U(a_[2]) * U(ca_[2]) +
                  U(a_[3]) * U(ca_[3]);

        U predB = 0;
        if constexpr (Stereo) {
            // `other` arrives last (the other channel has just produced it),
            // so the sum is rearranged to leave one multiply after it:
            // b0 * cb0 + b1 * cb1 == b0 * (cb0 + cb1) - previous b0 * cb1,
            // exact in wrapping arithmetic.
            const T leak = T(U(filterB_) * 31u) >> 5;
            const U c01 = U(cb_[0]) + U(cb_[1]);
            const U known = (U(0) - U(leak)) * c01 - U(b_[0]) * U(cb_[1]) + U(b_[1]) * U(cb_[2]) +
                            U(b_[2]) * U(cb_[3]) + U(b_[3]) * U(cb_[4]);
            predB = U(other) * c01 + known;
            const T b0 = T(U(other) - U(leak));
            const T b1 = T(U(b0) - U(b_[0]));
            b_[4] = b_[3];
            b_[3] = b_[2];
            b_[2] = b_[1];
            b_[1] = b1;
            b_[0] = b0;
            sb_[4] = sb_[3];
            sb_[3] = sb_[2];
            sb_[2] = sb_[1];
            sb_[1] = negSign(b1);
            sb_[0] = negSign(b0);
            filterB_ = other;
        }

        const T prediction = T(predA + U(T(predB) >> 1)) >> 10;
        lastA_ = T(U(T(residual)) + U(prediction));
        filterA_ = T(U(lastA_) + U(T(U(filterA_) * 31u) >> 5));

        const int s = negSign(residual);
        if (s != 0) {
            for (int i = 0; i < 4; ++i)
                ca_[i] = T(U(ca_[i]) + U(T(sa_[i] * s)));
            if constexpr (Stereo) {
                for (int i = 0; i < 5; ++i)
                    cb_[i] = T(U(cb_[i]) + U(T(sb_[i] * s)));
            }
        }
        return int32_t(filterA_);
    }

private:
    [[gnu::always_inline]] static int negSign(T v) { return (v < 0) - (v > 0); }

    T a_[4] = {};
    T b_[5] = {};
    int sa_[4] = {};
    int sb_[5] = {};
    T ca_[4] = {360, 317, -109, 98};
    T cb_[5] = {};
    T lastA_ = 0;
    T filterA_ = 0;
    T filterB_ = 0;
};

// Undoes the prediction of a stereo frame in place: ch0 holds the first coded
// channel, ch1 the second.
template <typename T> void unpredictStereo(int32_t *ch0, int32_t *ch1, int count)
{
    ChannelPredictor<T> y, x;
    for (int i = 0; i < count; ++i) {
        ch0[i] = y.template step<true>(ch0[i], x.output());
        ch1[i] = x.template step<true>(ch1[i], y.output());
    }
}

inline void unpredictMono(int32_t *ch, int count)
{
    ChannelPredictor<int32_t> p;
    for (int i = 0; i < count; ++i)
        ch[i] = p.step<false>(ch[i], 0);
}

// The same stages for 32-bit samples: 64-bit history, coefficients and
// sums (wrapping, so damaged data cannot overflow), with the integrator's
// output wrapped to the 32-bit sample.
class WidePredictor
{
public:
    int32_t output() const { return filterA_; }

    template <bool Stereo> [[gnu::always_inline]] int32_t step(int64_t residual, int32_t other)
    {
        const int64_t a0 = lastA_;
        const int64_t a1 = int64_t(uint64_t(a0) - uint64_t(a_[0]));
        a_[3] = a_[2];
        a_[2] = a_[1];
        a_[1] = a1;
        a_[0] = a0;
        sa_[3] = sa_[2];
        sa_[2] = sa_[1];
        sa_[1] = sign(a1);
        sa_[0] = sign(a0);
        uint64_t predA = 0;
        for (int i = 0; i < 4; ++i)
            predA += uint64_t(a_[i]) * uint64_t(ca_[i]);

        uint64_t predB = 0;
        if constexpr (Stereo) {
            const int64_t b0 = int64_t(other) - ((int64_t(filterB_) * 31) >> 5);
            const int64_t b1 = b0 - b_[0];
            b_[4] = b_[3];
            b_[3] = b_[2];
            b_[2] = b_[1];
            b_[1] = b1;
            b_[0] = b0;
            sb_[4] = sb_[3];
            sb_[3] = sb_[2];
            sb_[2] = sb_[1];
            sb_[1] = sign(b1);
            sb_[0] = sign(b0);
            for (int i = 0; i < 5; ++i)
                predB += uint64_t(b_[i]) * uint64_t(cb_[i]);
            filterB_ = other;
        }

        const int64_t prediction = int64_t(predA + uint64_t(int64_t(predB) >> 1)) >> 10;
        lastA_ = int64_t(uint64_t(residual) + uint64_t(prediction));
        filterA_ = int32_t(uint32_t(uint64_t(lastA_) + uint64_t((int64_t(filterA_) * 31) >> 5)));

        // The direction is the residual's true sign.
        const int s = (residual < 0) - (residual > 0);
        if (s != 0) {
            for (int i = 0; i < 4; ++i)
                ca_[i] = int64_t(uint64_t(ca_[i]) + uint64_t(int64_t(sa_[i] * s)));
            if constexpr (Stereo) {
                for (int i = 0; i < 5; ++i)
                    cb_[i] = int64_t(uint64_t(cb_[i]) + uint64_t(int64_t(sb_[i] * s)));
            }
        }
        return filterA_;
    }

private:
    // 1 when bit 31 is set, -1 otherwise, 0 for 0: the encoder tests that
    // bit, not the 64-bit sign.
    [[gnu::always_inline]] static int sign(int64_t v)
    {
        return v == 0 ? 0 : int((uint64_t(v) >> 30) & 2) - 1;
    }

    int64_t a_[4] = {};
    int64_t b_[5] = {};
    int sa_[4] = {};
    int sb_[5] = {};
    int64_t ca_[4] = {360, 317, -109, 98};
    int64_t cb_[5] = {};
    int64_t lastA_ = 0;
    int32_t filterA_ = 0;
    int32_t filterB_ = 0;
};

} // namespace ape
