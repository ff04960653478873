#include "FfmpegDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
}

namespace audio {

namespace {

constexpr int kIoBufferSize = 32768;

struct AvFree
{
    void operator()(uint8_t *p) const { av_free(p); }
};

int readCallback(void *opaque, uint8_t *buf, int size)
{
    const int fd = *static_cast<int *>(opaque);
    for (;;) {
        const ssize_t n = ::read(fd, buf, static_cast<size_t>(size));
        if (n > 0)
            return static_cast<int>(n);
        if (n == 0)
            return AVERROR_EOF;
        if (errno != EINTR)
            return AVERROR(errno);
    }
}

int64_t seekCallback(void *opaque, int64_t offset, int whence)
{
    const int fd = *static_cast<int *>(opaque);
    if (whence & AVSEEK_SIZE) {
        struct stat st;
        if (::fstat(fd, &st) != 0)
            return AVERROR(errno);
        return st.st_size;
    }
    const off_t r = ::lseek(fd, offset, whence & ~AVSEEK_FORCE);
    return r < 0 ? AVERROR(errno) : r;
}

std::string avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

void quietLibraries()
{
    // FFmpeg writes every damaged frame to stderr; failures reach callers as
    // results instead. SORVANO_FFMPEG_LOG brings the messages back.
    static std::once_flag once;
    std::call_once(once, [] {
        if (!std::getenv("SORVANO_FFMPEG_LOG"))
            av_log_set_level(AV_LOG_QUIET);
    });
}

int expectedSampleFormat(int bits)
{
    switch (bits) {
    case 8:
        return AV_SAMPLE_FMT_U8P;
    case 16:
        return AV_SAMPLE_FMT_S16P;
    case 24:
    case 32:
        return AV_SAMPLE_FMT_S32P;
    default:
        return AV_SAMPLE_FMT_NONE;
    }
}

} // namespace

std::unique_ptr<FfmpegDecoder> FfmpegDecoder::open(const std::filesystem::path &path,
                                                   std::string *error)
{
    quietLibraries();
    std::unique_ptr<FfmpegDecoder> d(new FfmpegDecoder);
    std::string why;
    if (!d->init(path, &why)) {
        if (error)
            *error = why;
        return nullptr;
    }
    return d;
}

void FfmpegDecoder::IoFree::operator()(AVIOContext *io) const
{
    av_freep(&io->buffer);
    avio_context_free(&io);
}

void FfmpegDecoder::FormatClose::operator()(AVFormatContext *fmt) const
{
    avformat_close_input(&fmt);
}

void FfmpegDecoder::CodecFree::operator()(AVCodecContext *codec) const
{
    avcodec_free_context(&codec);
}

void FfmpegDecoder::FrameFree::operator()(AVFrame *frame) const
{
    av_frame_free(&frame);
}

void FfmpegDecoder::PacketFree::operator()(AVPacket *packet) const
{
    av_packet_free(&packet);
}

FfmpegDecoder::File::~File()
{
    if (fd >= 0)
        ::close(fd);
}

FfmpegDecoder::~FfmpegDecoder() = default;

bool FfmpegDecoder::init(const std::filesystem::path &path, std::string *error)
{
    // Non-blocking so that a FIFO or device under an .ape name cannot hang the
    // open; only regular files are read.
    file_.fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (file_.fd < 0) {
        *error = std::strerror(errno);
        return false;
    }
    struct stat st;
    if (::fstat(file_.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "not a regular file";
        return false;
    }
    ::fcntl(file_.fd, F_SETFL, ::fcntl(file_.fd, F_GETFL) & ~O_NONBLOCK);

    std::unique_ptr<uint8_t, AvFree> buffer(static_cast<uint8_t *>(av_malloc(kIoBufferSize)));
    if (!buffer) {
        *error = "out of memory";
        return false;
    }
    io_.reset(avio_alloc_context(buffer.get(), kIoBufferSize, 0, &file_.fd, readCallback, nullptr,
                                 seekCallback));
    if (!io_) {
        *error = "out of memory";
        return false;
    }
    buffer.release(); // io_ holds it now, and may replace it
    fmt_.reset(avformat_alloc_context());
    if (!fmt_) {
        *error = "out of memory";
        return false;
    }
    fmt_->pb = io_.get();
    fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
    const AVInputFormat *ape = av_find_input_format("ape");
    if (!ape) {
        *error = "FFmpeg has no APE demuxer";
        return false;
    }
    // On failure avformat_open_input frees the context and nulls the pointer.
    AVFormatContext *opening = fmt_.release();
    int r = avformat_open_input(&opening, "", ape, nullptr);
    fmt_.reset(opening);
    if (r < 0) {
        *error = "not an APE file: " + avError(r);
        return false;
    }
    if (fmt_->nb_streams < 1 || fmt_->streams[0]->codecpar->codec_id != AV_CODEC_ID_APE) {
        *error = "no APE audio";
        return false;
    }
    AVStream *stream = fmt_->streams[0];
    const AVCodecParameters *par = stream->codecpar;
    format_.sampleRate = par->sample_rate;
    format_.channels = par->ch_layout.nb_channels;
    format_.bitsPerSample = par->bits_per_coded_sample;
    sampleFormat_ = expectedSampleFormat(format_.bitsPerSample);
    if (format_.sampleRate <= 0 || format_.channels <= 0 || sampleFormat_ == AV_SAMPLE_FMT_NONE) {
        *error = "unsupported sample format";
        return false;
    }
    // The demuxer counts in samples (time base 1/rate) from 0.
    if (stream->duration == AV_NOPTS_VALUE || stream->duration < 0 || stream->time_base.num != 1 ||
        stream->time_base.den != format_.sampleRate) {
        *error = "no length in the header";
        return false;
    }
    totalFrames_ = stream->duration;
    if (totalFrames_ > INT64_MAX / format_.bytesPerFrame()) {
        *error = "length out of range";
        return false;
    }

    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_APE);
    if (!codec) {
        *error = "FFmpeg has no APE decoder";
        return false;
    }
    codec_.reset(avcodec_alloc_context3(codec));
    if (!codec_ || avcodec_parameters_to_context(codec_.get(), par) < 0) {
        *error = "out of memory";
        return false;
    }
    codec_->thread_count = 1;
    // Damaged frames are reported instead of played as noise.
    codec_->err_recognition |= AV_EF_CRCCHECK;
    r = avcodec_open2(codec_.get(), codec, nullptr);
    if (r < 0) {
        *error = "FFmpeg cannot decode this file: " + avError(r);
        return false;
    }
    if (codec_->sample_fmt != sampleFormat_) {
        *error = "unexpected decoder output format";
        return false;
    }
    frame_.reset(av_frame_alloc());
    packet_.reset(av_packet_alloc());
    if (!frame_ || !packet_) {
        *error = "out of memory";
        return false;
    }
    needTimestamp_ = true;
    return true;
}

bool FfmpegDecoder::nextFrame()
{
    haveFrame_ = false;
    for (;;) {
        int r = avcodec_receive_frame(codec_.get(), frame_.get());
        if (r == 0) {
            const int n = frame_->nb_samples;
            if (frame_->format != sampleFormat_ ||
                frame_->ch_layout.nb_channels != format_.channels || n < 0) {
                failed_ = true;
                return false;
            }
            frameStart_ = decodedPosition_;
            decodedPosition_ += n;
            if (frameStart_ > position_) {
                // The demuxer landed after the target: samples would be lost.
                failed_ = true;
                return false;
            }
            if (decodedPosition_ <= position_)
                continue; // before a seek target
            frameOffset_ = static_cast<int>(position_ - frameStart_);
            haveFrame_ = true;
            return true;
        }
        if (r == AVERROR_EOF) {
            ended_ = true;
            return false;
        }
        if (r != AVERROR(EAGAIN) || draining_) {
            failed_ = true;
            return false;
        }
        r = av_read_frame(fmt_.get(), packet_.get());
        if (r == AVERROR_EOF) {
            draining_ = true;
            avcodec_send_packet(codec_.get(), nullptr);
            continue;
        }
        if (r < 0) {
            failed_ = true;
            return false;
        }
        if (packet_->stream_index != 0) {
            av_packet_unref(packet_.get());
            continue;
        }
        if (needTimestamp_) {
            if (packet_->pts == AV_NOPTS_VALUE || packet_->pts < 0) {
                av_packet_unref(packet_.get());
                failed_ = true;
                return false;
            }
            decodedPosition_ = packet_->pts;
            needTimestamp_ = false;
        }
        r = avcodec_send_packet(codec_.get(), packet_.get());
        av_packet_unref(packet_.get());
        if (r < 0) {
            failed_ = true;
            return false;
        }
    }
}

void FfmpegDecoder::copyOut(uint8_t *out, int offset, int count) const
{
    const int channels = format_.channels;
    uint8_t *const *planes = frame_->extended_data;
    switch (format_.bitsPerSample) {
    case 8:
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < channels; ++c)
                *out++ = planes[c][offset + i];
        break;
    case 16:
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < channels; ++c) {
                const auto v = reinterpret_cast<const int16_t *>(planes[c])[offset + i];
                const auto u = static_cast<uint16_t>(v);
                *out++ = static_cast<uint8_t>(u);
                *out++ = static_cast<uint8_t>(u >> 8);
            }
        break;
    case 24:
        // FFmpeg keeps 24-bit samples in the top three bytes of 32.
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < channels; ++c) {
                const auto v = reinterpret_cast<const int32_t *>(planes[c])[offset + i];
                const auto u = static_cast<uint32_t>(v);
                *out++ = static_cast<uint8_t>(u >> 8);
                *out++ = static_cast<uint8_t>(u >> 16);
                *out++ = static_cast<uint8_t>(u >> 24);
            }
        break;
    default:
        for (int i = 0; i < count; ++i)
            for (int c = 0; c < channels; ++c) {
                const auto v = reinterpret_cast<const int32_t *>(planes[c])[offset + i];
                const auto u = static_cast<uint32_t>(v);
                *out++ = static_cast<uint8_t>(u);
                *out++ = static_cast<uint8_t>(u >> 8);
                *out++ = static_cast<uint8_t>(u >> 16);
                *out++ = static_cast<uint8_t>(u >> 24);
            }
        break;
    }
}

int64_t FfmpegDecoder::read(uint8_t *out, int64_t maxFrames)
{
    if (failed_)
        return -1;
    const int64_t wanted = std::min(maxFrames, totalFrames_ - position_);
    int64_t produced = 0;
    while (produced < wanted) {
        if (!haveFrame_ || frameOffset_ >= frame_->nb_samples) {
            if (!nextFrame()) {
                // Ending before the header's length means the data is cut
                // or damaged.
                failed_ = true;
                break;
            }
        }
        const int count = static_cast<int>(
            std::min<int64_t>(wanted - produced, frame_->nb_samples - frameOffset_));
        copyOut(out + produced * format_.bytesPerFrame(), frameOffset_, count);
        frameOffset_ += count;
        produced += count;
        position_ += count;
    }
    if (produced == 0 && failed_)
        return -1;
    return produced;
}

std::vector<int64_t> FfmpegDecoder::frameStarts() const
{
    std::vector<int64_t> starts;
    AVStream *stream = fmt_->streams[0];
    const int count = avformat_index_get_entries_count(stream);
    for (int i = 0; i < count; ++i) {
        const AVIndexEntry *entry = avformat_index_get_entry(stream, i);
        if (entry && entry->timestamp >= 0 && entry->timestamp < totalFrames_ &&
            (starts.empty() || entry->timestamp > starts.back()))
            starts.push_back(entry->timestamp);
    }
    return starts;
}

bool FfmpegDecoder::seek(int64_t frame)
{
    if (frame < 0 || frame > totalFrames_)
        return false;
    if (haveFrame_ && !failed_ && frame >= frameStart_ &&
        frame < frameStart_ + frame_->nb_samples) {
        frameOffset_ = static_cast<int>(frame - frameStart_);
        position_ = frame;
        return true;
    }
    failed_ = false;
    haveFrame_ = false;
    draining_ = false;
    ended_ = false;
    position_ = frame;
    if (frame == totalFrames_)
        return true;
    if (av_seek_frame(fmt_.get(), 0, frame, AVSEEK_FLAG_BACKWARD) < 0) {
        failed_ = true;
        return false;
    }
    avcodec_flush_buffers(codec_.get());
    needTimestamp_ = true;
    return true;
}

} // namespace audio
