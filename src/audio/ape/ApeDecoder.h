#pragma once

#include "audio/Decoder.h"

#include <filesystem>
#include <memory>
#include <string>

namespace ape {

struct DecoderOptions
{
    // 0: frames are decoded on the calling thread, when read() needs them.
    // n > 0: up to n worker threads decode the frames ahead of the reader
    // (for streams that are read straight through, such as an export).
    int workerThreads = 0;
};

// A native decoder for APE files of the versions in ApeFormat.h.
class ApeDecoder : public audio::Decoder
{
public:
    // After read() returned -1: how many sample frames from the current
    // position belong to the damaged APE frame (0 when nothing is damaged).
    // seek() past them to go on with the next frame.
    virtual int64_t damagedFrames() const = 0;
};

// Returns null when the file is not one this decoder reads; `unsupported`
// then tells whether it is a valid APE file another decoder may handle
// (true) or a damaged or foreign file (false).
std::unique_ptr<ApeDecoder> openNativeDecoder(const std::filesystem::path &path, std::string *error,
                                              DecoderOptions options = {},
                                              bool *unsupported = nullptr);

} // namespace ape
