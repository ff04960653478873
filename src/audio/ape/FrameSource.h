#pragma once

#include "ApeFormat.h"
#include "FrameDecoder.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace ape {

// An open file read with pread, so several threads can share it.
class File
{
public:
    explicit File(int fd) : fd_(fd) {}
    ~File();
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    size_t readAt(int64_t at, void *buf, size_t n) const;

private:
    int fd_;
};

// The frames of one file, each decodable on its own: any thread with its
// own Context may decode any frame.
class FrameSource
{
public:
    FrameSource(std::unique_ptr<File> file, const StreamInfo &info, std::vector<FrameSpan> frames);

    const StreamInfo &info() const { return info_; }
    int bytesPerBlock() const { return info_.channels * (info_.bits / 8); }

    // What one decoding thread keeps between frames.
    struct Context
    {
        explicit Context(const StreamInfo &info) : decoder(info) {}
        FrameDecoder decoder;
        std::vector<uint8_t> bytes;
    };
    std::unique_ptr<Context> newContext() const;

    // Decodes frame `index` into pcm (resized to the frame's length).
    // False when its bytes cannot be read or its CRC does not match; pcm is
    // then not audio.
    bool decode(uint32_t index, Context &context, std::vector<uint8_t> &pcm) const;

    // Frames decoded so far, by any thread.
    int64_t decodedCount() const { return decoded_.load(std::memory_order_relaxed); }

private:
    std::unique_ptr<File> file_;
    StreamInfo info_;
    std::vector<FrameSpan> frames_;
    mutable std::atomic<int> widthHint_{32};
    mutable std::atomic<int64_t> decoded_{0};
};

} // namespace ape
