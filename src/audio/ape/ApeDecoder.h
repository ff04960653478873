#pragma once

#include "ApeFormat.h"
#include "audio/Decoder.h"

#include <filesystem>
#include <memory>
#include <string>

namespace ape {

// A native decoder for APE files of the versions in ApeFormat.h. After a
// damaged frame, damagedFrames() is the rest of that APE frame.
class ApeDecoder : public audio::Decoder
{
public:
    // Frames decoded so far, whichever thread decoded them.
    virtual int64_t framesDecoded() const = 0;
    // What the header says: the frames' count and length among it.
    virtual const StreamInfo &streamInfo() const = 0;
};

// Returns null when the file is not one this decoder reads; `unsupported`
// then tells whether it is a valid APE file another decoder may handle
// (true) or a damaged or foreign file (false).
std::unique_ptr<ApeDecoder> openNativeDecoder(const std::filesystem::path &path, std::string *error,
                                              const audio::DecoderOptions &options = {},
                                              bool *unsupported = nullptr);

} // namespace ape
