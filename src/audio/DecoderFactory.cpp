#include "Decoder.h"
#include "FfmpegDecoder.h"
#include "ape/ApeDecoder.h"

namespace audio {

std::unique_ptr<Decoder> openDecoder(const std::filesystem::path &path, std::string *error,
                                     const DecoderOptions &options)
{
    // FFmpeg only reads what the native decoder leaves to it: other versions
    // and formats. A damaged file of a version the native decoder reads goes
    // nowhere else, since FFmpeg would not check its frames.
    bool unsupported = false;
    if (auto native = ape::openNativeDecoder(path, error, options, &unsupported))
        return native;
    if (!unsupported)
        return nullptr;
    return FfmpegDecoder::open(path, error);
}

} // namespace audio
