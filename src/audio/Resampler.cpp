#include "Resampler.h"

#include <algorithm>
#include <cstddef>

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace audio {

namespace {

// How a source's channels are laid out, as far as a count tells: mono,
// stereo, 3.0, quad, 5.0, 5.1, 6.1 and 7.1 (the file stores no layout).
constexpr uint64_t kSourceLayouts[] = {
    AV_CH_LAYOUT_MONO,    AV_CH_LAYOUT_STEREO,  AV_CH_LAYOUT_SURROUND, AV_CH_LAYOUT_QUAD,
    AV_CH_LAYOUT_5POINT0, AV_CH_LAYOUT_5POINT1, AV_CH_LAYOUT_6POINT1,  AV_CH_LAYOUT_7POINT1};
// SDL's channel order for a device of each count (the fifth is 4.1 with the
// LFE before the rear pair, unlike FFmpeg's 4.1).
constexpr uint64_t kDeviceLayouts[] = {AV_CH_LAYOUT_MONO,
                                       AV_CH_LAYOUT_STEREO,
                                       AV_CH_LAYOUT_2POINT1,
                                       AV_CH_LAYOUT_QUAD,
                                       AV_CH_LAYOUT_STEREO | AV_CH_LOW_FREQUENCY | AV_CH_BACK_LEFT |
                                           AV_CH_BACK_RIGHT,
                                       AV_CH_LAYOUT_5POINT1,
                                       AV_CH_LAYOUT_6POINT1,
                                       AV_CH_LAYOUT_7POINT1};

// A channel layout for `channels` channels: a known one up to 8, otherwise
// channels without names. Released with its holder.
class ChannelLayout
{
public:
    ChannelLayout(int channels, const uint64_t (&known)[8])
    {
        if (channels >= 1 && channels <= 8) {
            av_channel_layout_from_mask(&layout_, known[channels - 1]);
        } else {
            layout_.order = AV_CHANNEL_ORDER_UNSPEC;
            layout_.nb_channels = channels;
        }
    }
    ~ChannelLayout() { av_channel_layout_uninit(&layout_); }

    ChannelLayout(const ChannelLayout &) = delete;
    ChannelLayout &operator=(const ChannelLayout &) = delete;

    // Non-const: libswresample's signature asks for it, though it only reads.
    AVChannelLayout *get() { return &layout_; }
    bool named() const { return layout_.order != AV_CHANNEL_ORDER_UNSPEC; }

private:
    AVChannelLayout layout_{};
};

// Channels beyond a known layout have no name, so no standard mix: channel c
// goes to output c modulo the output's count (alternately left and right on
// stereo), all at one weight small enough that no output can pass full scale.
std::vector<double> spreadMatrix(int inChannels, int outChannels)
{
    std::vector<double> matrix(static_cast<size_t>(inChannels) * outChannels, 0.0);
    const int perOutput = (inChannels + outChannels - 1) / outChannels;
    for (int c = 0; c < inChannels; ++c)
        matrix[static_cast<size_t>(c % outChannels) * inChannels + c] = 1.0 / perOutput;
    return matrix;
}

} // namespace

void Resampler::SwrFree::operator()(SwrContext *swr) const
{
    swr_free(&swr);
}

Resampler::Resampler(const PcmFormat &source, int outRate, int outChannels)
    : outChannels_(outChannels)
{
    ChannelLayout in(source.channels, kSourceLayouts);
    ChannelLayout out(outChannels, kDeviceLayouts);
    SwrContext *allocated = nullptr;
    // On failure swr_alloc_set_opts2 frees what it allocated.
    bool ok = swr_alloc_set_opts2(&allocated, out.get(), AV_SAMPLE_FMT_FLT, outRate, in.get(),
                                  AV_SAMPLE_FMT_FLT, source.sampleRate, 0, nullptr) >= 0;
    std::unique_ptr<SwrContext, SwrFree> swr(allocated);
    // A downmix adds channels together; scaled to keep within full scale it
    // cannot clip where the sources do not. Mono and stereo keep their level.
    if (ok && source.channels > 2)
        ok = av_opt_set_double(swr.get(), "rematrix_maxval", 1.0, 0) >= 0;
    if (ok && (!in.named() || !out.named())) {
        const std::vector<double> matrix = spreadMatrix(source.channels, outChannels);
        ok = swr_set_matrix(swr.get(), matrix.data(), source.channels) >= 0;
    }
    if (ok && swr_init(swr.get()) >= 0)
        swr_ = std::move(swr);
}

int Resampler::convert(const float *in, int frames, std::vector<float> &out)
{
    const int capacity = swr_get_out_samples(swr_.get(), frames);
    out.resize(static_cast<size_t>(std::max(capacity, 0)) * outChannels_);
    auto *outPlane = reinterpret_cast<uint8_t *>(out.data());
    const auto *inPlane = reinterpret_cast<const uint8_t *>(in);
    const int got = std::max(swr_convert(swr_.get(), &outPlane, capacity, &inPlane, frames), 0);
    out.resize(static_cast<size_t>(got) * outChannels_);
    return got;
}

int Resampler::drain(std::vector<float> &out)
{
    const int capacity = swr_get_out_samples(swr_.get(), 0);
    int got = 0;
    if (capacity > 0) {
        out.resize(static_cast<size_t>(capacity) * outChannels_);
        auto *outPlane = reinterpret_cast<uint8_t *>(out.data());
        got = std::max(swr_convert(swr_.get(), &outPlane, capacity, nullptr, 0), 0);
    }
    out.resize(static_cast<size_t>(got) * outChannels_);
    return got;
}

} // namespace audio
