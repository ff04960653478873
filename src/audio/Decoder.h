#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace audio {

// What a decoder delivers: interleaved little-endian PCM, channels in the
// file's order, unsigned 8-bit for 8-bit sources, IEEE float for float
// sources, signed and packed at the source's own width otherwise.
struct PcmFormat
{
    int sampleRate = 0;
    int channels = 0;      // 1 to 32
    int bitsPerSample = 0; // 8, 16, 24 or 32
    bool isFloat = false;  // 32-bit IEEE float samples, every bit pattern kept

    int bytesPerSample() const { return bitsPerSample / 8; }
    int bytesPerFrame() const { return bytesPerSample() * channels; }
};

// One open APE source. Not thread-safe: one thread uses a decoder at a time.
class Decoder
{
public:
    virtual ~Decoder() = default;

    virtual const PcmFormat &format() const = 0;
    // Sample frames in the whole file, as its header states.
    virtual int64_t totalFrames() const = 0;
    // Reads up to maxFrames whole sample frames into out. Returns the frames
    // written, 0 at the end of the audio, -1 when the data is damaged or unreadable.
    virtual int64_t read(uint8_t *out, int64_t maxFrames) = 0;
    // Sample-accurate: the next read starts with sample frame `frame`.
    virtual bool seek(int64_t frame) = 0;
    // After read() returned -1: how many sample frames from the current
    // position are damaged and may be replaced by silence; seek() past them
    // to go on. 0 when the decoder cannot tell (nothing after is readable).
    virtual int64_t damagedFrames() const { return 0; }
};

struct DecoderOptions
{
    // Threads that decode ahead of the reader, so a frame is ready before it
    // is read: as many as there are cores for a stream read straight through
    // (decode-only), one for playback. 0: decode on the reading thread only,
    // as and when read. Output is the same whatever the count. The native
    // decoder's only: FFmpeg always decodes on the reading thread.
    int workerThreads = 0;
};

// Opens the best decoder for the file, or returns null and sets error.
std::unique_ptr<Decoder> openDecoder(const std::filesystem::path &path, std::string *error,
                                     const DecoderOptions &options = {});

} // namespace audio
