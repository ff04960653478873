#pragma once

#include "Decoder.h"

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

struct AVFormatContext;
struct AVCodecContext;
struct AVIOContext;
struct AVFrame;
struct AVPacket;

namespace audio {

// Decodes through FFmpeg the APE files of versions the native decoder does
// not read (the older ones). The file is opened here and handed to FFmpeg
// through I/O callbacks, with the APE demuxer forced, so no name is ever
// read as a URL or protocol and no other format is accepted.
class FfmpegDecoder final : public Decoder
{
public:
    static std::unique_ptr<FfmpegDecoder> open(const std::filesystem::path &path,
                                               std::string *error);
    ~FfmpegDecoder() override;

    FfmpegDecoder(const FfmpegDecoder &) = delete;
    FfmpegDecoder &operator=(const FfmpegDecoder &) = delete;

    const PcmFormat &format() const override { return format_; }
    int64_t totalFrames() const override { return totalFrames_; }
    int64_t read(uint8_t *out, int64_t maxFrames) override;
    bool seek(int64_t frame) override;
    // Where each of the file's own frames starts, in sample frames, as the
    // demuxer's index has them; empty when it has none.
    std::vector<int64_t> frameStarts() const;

private:
    FfmpegDecoder() = default;
    bool init(const std::filesystem::path &path, std::string *error);
    // Makes frame_ hold decoded samples; false at the end or on failure
    // (failed_ tells which).
    bool nextFrame();
    void copyOut(uint8_t *out, int offset, int count) const;

    struct IoFree
    {
        void operator()(AVIOContext *io) const;
    };
    struct FormatClose
    {
        void operator()(AVFormatContext *fmt) const;
    };
    struct CodecFree
    {
        void operator()(AVCodecContext *codec) const;
    };
    struct FrameFree
    {
        void operator()(AVFrame *frame) const;
    };
    struct PacketFree
    {
        void operator()(AVPacket *packet) const;
    };
    // The open file, closed after everything that reads it.
    struct File
    {
        File() = default;
        File(const File &) = delete;
        File &operator=(const File &) = delete;
        ~File();
        int fd = -1;
    };

    // Declared in the order they are released in reverse.
    File file_;
    std::unique_ptr<AVIOContext, IoFree> io_;
    std::unique_ptr<AVFormatContext, FormatClose> fmt_;
    std::unique_ptr<AVCodecContext, CodecFree> codec_;
    std::unique_ptr<AVFrame, FrameFree> frame_;
    std::unique_ptr<AVPacket, PacketFree> packet_;

    PcmFormat format_;
    int64_t totalFrames_ = 0;
    int sampleFormat_ = -1;

    // Next sample frame read() delivers.
    int64_t position_ = 0;
    // Source frame of frame_'s first sample, and how far into frame_ we are.
    int64_t frameStart_ = 0;
    int frameOffset_ = 0;
    bool haveFrame_ = false;
    // After a seek the demuxer lands on an APE frame start; the packet's
    // timestamp tells which, and samples before the target are dropped.
    bool needTimestamp_ = false;
    int64_t decodedPosition_ = 0;
    bool draining_ = false;
    bool ended_ = false;
    bool failed_ = false;
};

} // namespace audio
