#include "Decoder.h"
#include "FfmpegDecoder.h"

namespace audio {

std::unique_ptr<Decoder> openDecoder(const std::filesystem::path &path, std::string *error)
{
    return FfmpegDecoder::open(path, error);
}

} // namespace audio
