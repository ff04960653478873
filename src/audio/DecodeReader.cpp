#include "DecodeReader.h"

#include "AudioEngine.h"

#include <algorithm>
#include <cstring>

namespace audio {

DecodeReader::DecodeReader(std::unique_ptr<Decoder> decoder)
    : decoder_(std::move(decoder)), bytesPerFrame_(decoder_->format().bytesPerFrame()),
      lengthBytes_(decoder_->totalFrames() * bytesPerFrame_)
{
}

bool DecodeReader::seek(int64_t frame)
{
    if (!decoder_->seek(frame))
        return false;
    carry_.clear();
    carryOffset_ = 0;
    delivered_ = frame * bytesPerFrame_;
    failed_ = false;
    return true;
}

void DecodeReader::takeCarry(uint8_t *out, int64_t &written, int64_t want)
{
    const int64_t n =
        std::min<int64_t>(want - written, static_cast<int64_t>(carry_.size() - carryOffset_));
    std::memcpy(out + written, carry_.data() + carryOffset_, static_cast<size_t>(n));
    carryOffset_ += static_cast<size_t>(n);
    written += n;
    if (carryOffset_ == carry_.size()) {
        carry_.clear();
        carryOffset_ = 0;
    }
}

uint32_t DecodeReader::read(void *buffer, uint32_t length)
{
    if (!buffer || failed_)
        return kDataError;
    auto *out = static_cast<uint8_t *>(buffer);
    const int64_t bpf = bytesPerFrame_;
    const int64_t want = std::min<int64_t>(length, lengthBytes_ - delivered_);
    int64_t written = 0;

    if (!carry_.empty())
        takeCarry(out, written, want);
    bool failed = false;
    if (written < want && carry_.empty()) {
        const int64_t frames = (want - written) / bpf;
        if (frames > 0) {
            const int64_t n = decoder_->read(out + written, frames);
            if (n < 0)
                failed = true;
            else
                written += n * bpf;
        }
    }
    if (!failed && written < want && (want - written) < bpf) {
        // A request that ends inside a sample frame: keep the rest for later.
        carry_.resize(static_cast<size_t>(bpf));
        const int64_t n = decoder_->read(carry_.data(), 1);
        if (n == 1) {
            carryOffset_ = 0;
            takeCarry(out, written, want);
        } else {
            carry_.clear();
            failed = n < 0;
        }
    }
    delivered_ += written;
    if (failed) {
        // Report what arrived first; the error comes with the next call, and
        // the stream counts as stopped from now on so readers end.
        failed_ = true;
        if (written == 0)
            return kDataError;
    }
    if (written == 0 && want > 0) {
        // The decoder ended before the header's length: the file is damaged.
        failed_ = true;
        return kDataError;
    }
    return static_cast<uint32_t>(written);
}

} // namespace audio
