#pragma once

#include "Decoder.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace audio {

// A decode-only stream's reader, behind ChannelGetData: hands out the decoded
// PCM in pieces of any size, a sample frame split between two reads included.
class DecodeReader
{
public:
    explicit DecodeReader(std::unique_ptr<Decoder> decoder);

    // Up to `length` bytes into `buffer`: the bytes written, or kDataError.
    uint32_t read(void *buffer, uint32_t length);
    // The next read starts with sample frame `frame`.
    bool seek(int64_t frame);
    // Bytes handed out so far.
    int64_t position() const { return delivered_; }
    // Neither at the end nor failed: there is more to read.
    bool active() const { return !failed_ && delivered_ < lengthBytes_; }

private:
    void takeCarry(uint8_t *out, int64_t &written, int64_t want);

    std::unique_ptr<Decoder> decoder_;
    int64_t bytesPerFrame_ = 0;
    int64_t lengthBytes_ = 0;
    std::vector<uint8_t> carry_; // the rest of a sample frame split by a read
    size_t carryOffset_ = 0;
    int64_t delivered_ = 0;
    bool failed_ = false;
};

} // namespace audio
