#include "FrameSource.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace ape {

File::~File()
{
    ::close(fd_);
}

size_t File::readAt(int64_t at, void *buf, size_t n) const
{
    size_t got = 0;
    while (got < n) {
        const ssize_t r = ::pread(fd_, static_cast<uint8_t *>(buf) + got, n - got, off_t(at + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += size_t(r);
    }
    return got;
}

FrameSource::FrameSource(std::unique_ptr<File> file, const StreamInfo &info,
                         std::vector<FrameSpan> frames)
    : file_(std::move(file)), info_(info), frames_(std::move(frames))
{
}

std::unique_ptr<FrameSource::Context> FrameSource::newContext() const
{
    auto c = std::make_unique<Context>(info_);
    c->decoder.shareWidthHint(&widthHint_);
    return c;
}

bool FrameSource::decode(uint32_t index, Context &context, std::vector<uint8_t> &pcm) const
{
    const FrameSpan &span = frames_[index];
    const uint32_t blocks = info_.blocksInFrame(index);
    // No valid frame needs more than this; a damaged seek table may claim more.
    const int64_t cap = int64_t(blocks) * info_.channels * (info_.bits == 32 ? 10 : 5) + 1024;
    const size_t size = size_t(std::clamp<int64_t>(span.end - span.wordStart, 0, cap));
    context.bytes.resize(size);
    pcm.resize(size_t(blocks) * size_t(bytesPerBlock()));
    if (file_->readAt(span.wordStart, context.bytes.data(), size) != size)
        return false;
    decoded_.fetch_add(1, std::memory_order_relaxed);
    return context.decoder.decode(context.bytes, span.skip, blocks, pcm.data());
}

} // namespace ape
