#include "ApeDecoder.h"

#include "ApeFormat.h"
#include "FrameDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ape {

namespace {

// An open file read with pread, so several threads can share it.
class File
{
public:
    explicit File(int fd) : fd_(fd) {}
    ~File() { ::close(fd_); }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    size_t readAt(int64_t at, void *buf, size_t n) const
    {
        size_t got = 0;
        while (got < n) {
            const ssize_t r =
                ::pread(fd_, static_cast<uint8_t *>(buf) + got, n - got, off_t(at + got));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                break;
            got += size_t(r);
        }
        return got;
    }

private:
    int fd_;
};

class Native final : public ApeDecoder
{
public:
    Native(std::unique_ptr<File> file, const HeaderReader &header)
        : file_(std::move(file)), info_(header.info()), frames_(header.frames()), frame_(info_)
    {
        format_.sampleRate = info_.sampleRate;
        format_.channels = info_.channels;
        format_.bitsPerSample = info_.bits;
        total_ = info_.totalBlocks();
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
    int64_t framesDecoded() const override { return decodedCount_; }

private:
    bool load(uint32_t index)
    {
        if (loaded_ == int64_t(index))
            return true;
        loaded_ = -1;
        const FrameSpan &span = frames_[index];
        const uint32_t blocks = info_.blocksInFrame(index);
        // No valid frame needs more than this; a damaged seek table may
        // claim more.
        const int64_t cap = int64_t(blocks) * info_.channels * 5 + 1024;
        const size_t size = size_t(std::clamp<int64_t>(span.end - span.wordStart, 0, cap));
        bytes_.resize(size);
        if (file_->readAt(span.wordStart, bytes_.data(), size) != size)
            return false;
        pcm_.resize(size_t(blocks) * format_.bytesPerFrame());
        ++decodedCount_;
        if (!frame_.decode(bytes_.data(), size, span.skip, blocks, pcm_.data()))
            return false;
        loaded_ = index;
        loadedBlocks_ = blocks;
        return true;
    }

    std::unique_ptr<File> file_;
    StreamInfo info_;
    std::vector<FrameSpan> frames_;
    FrameDecoder frame_;
    audio::PcmFormat format_;
    int64_t total_ = 0;
    int64_t pos_ = 0;
    int64_t damaged_ = 0;
    int64_t loaded_ = -1;
    int64_t loadedBlocks_ = 0;
    int64_t decodedCount_ = 0;
    std::vector<uint8_t> bytes_;
    std::vector<uint8_t> pcm_;
};

} // namespace

std::unique_ptr<ApeDecoder> openNativeDecoder(const std::filesystem::path &path, std::string *error,
                                              const audio::DecoderOptions &options,
                                              bool *unsupported)
{
    (void)options;
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
    return std::make_unique<Native>(std::move(file), header);
}

} // namespace ape
