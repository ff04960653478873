#include "ApeDecoder.h"

#include "ApeFormat.h"
#include "DecodeAhead.h"
#include "FrameSource.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ape {

namespace {

class Native final : public ApeDecoder
{
public:
    Native(std::unique_ptr<File> file, const HeaderReader &header, int threads)
        : source_(std::move(file), header.info(), header.frames()), info_(source_.info())
    {
        format_.sampleRate = info_.sampleRate;
        format_.channels = info_.channels;
        format_.bitsPerSample = info_.bits;
        format_.isFloat = info_.isFloat;
        total_ = info_.totalBlocks();
        if (threads > 0 && info_.frameCount > 1)
            ahead_ = std::make_unique<DecodeAhead>(source_, threads);
        else
            context_ = source_.newContext();
    }

    const audio::PcmFormat &format() const override { return format_; }
    int64_t totalFrames() const override { return total_; }

    int64_t read(uint8_t *out, int64_t maxFrames) override
    {
        damaged_ = 0;
        const int frameBytes = format_.bytesPerFrame();
        int64_t written = 0;
        while (written < maxFrames && pos_ < total_) {
            const uint32_t index = uint32_t(pos_ / info_.blocksPerFrame);
            if (!load(index)) {
                if (written > 0)
                    break;
                damaged_ =
                    int64_t(index) * info_.blocksPerFrame + info_.blocksInFrame(index) - pos_;
                return -1;
            }
            const int64_t offset = pos_ - int64_t(index) * info_.blocksPerFrame;
            const int64_t n = std::min<int64_t>(maxFrames - written, loadedBlocks_ - offset);
            std::memcpy(out + written * frameBytes, pcm_.data() + offset * frameBytes,
                        size_t(n * frameBytes));
            written += n;
            pos_ += n;
        }
        return written;
    }

    bool seek(int64_t frame) override
    {
        if (frame < 0 || frame > total_)
            return false;
        pos_ = frame;
        damaged_ = 0;
        return true;
    }

    int64_t damagedFrames() const override { return damaged_; }
    int64_t framesDecoded() const override { return source_.decodedCount(); }
    const StreamInfo &streamInfo() const override { return info_; }

private:
    bool load(uint32_t index)
    {
        if (loaded_ == int64_t(index))
            return true;
        // The same damage is reported again without decoding it again.
        if (failed_ == int64_t(index))
            return false;
        loaded_ = -1;
        const bool ok = ahead_ ? ahead_->take(index, pcm_) : source_.decode(index, *context_, pcm_);
        if (!ok) {
            failed_ = index;
            return false;
        }
        loaded_ = index;
        loadedBlocks_ = info_.blocksInFrame(index);
        return true;
    }

    FrameSource source_;
    const StreamInfo &info_;
    std::unique_ptr<FrameSource::Context> context_;
    std::unique_ptr<DecodeAhead> ahead_;
    audio::PcmFormat format_;
    int64_t total_ = 0;
    int64_t pos_ = 0;
    int64_t damaged_ = 0;
    int64_t loaded_ = -1;
    int64_t failed_ = -1;
    int64_t loadedBlocks_ = 0;
    std::vector<uint8_t> pcm_;
};

} // namespace

std::unique_ptr<ApeDecoder> openNativeDecoder(const std::filesystem::path &path, std::string *error,
                                              const audio::DecoderOptions &options,
                                              bool *unsupported)
{
    auto setError = [&](const std::string &message, bool isUnsupported) {
        if (error)
            *error = message;
        if (unsupported)
            *unsupported = isUnsupported;
    };
    // Non-blocking, so that a FIFO or device under an .ape name cannot hang
    // the open; only regular files are read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        setError(std::string("cannot open file: ") + std::strerror(errno), false);
        return nullptr;
    }
    auto file = std::make_unique<File>(fd);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        setError("not a regular file", false);
        return nullptr;
    }
    const File *f = file.get();
    HeaderReader header(int64_t(st.st_size),
                        [f](int64_t at, void *buf, size_t n) { return f->readAt(at, buf, n); });
    if (header.status() != OpenStatus::Ok) {
        setError(header.error(), header.status() == OpenStatus::Unsupported);
        return nullptr;
    }
    if (unsupported)
        *unsupported = false;
    return std::make_unique<Native>(std::move(file), header, options.workerThreads);
}

} // namespace ape
