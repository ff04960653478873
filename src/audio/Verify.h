#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

namespace audio {

// What checking a file found.
struct VerifyResult
{
    enum class Status
    {
        Intact,
        Damaged,
        Unreadable, // not an APE file, or not one that can be read: see reason
        Cancelled,
    };
    Status status = Status::Unreadable;
    std::string reason;

    // Files of version 3.98 and later store an MD5 of their contents.
    bool md5Stored = false;
    bool md5Matches = false;

    // The file's own frames, each with its CRC.
    int64_t frames = 0;
    int64_t failedFrames = 0;
    int64_t firstFailedFrame = -1;
    // Where the first failing frame starts in the audio, in seconds.
    double firstFailedSeconds = 0;
};

struct VerifyOptions
{
    // Threads decoding the frames; 0: one per core.
    int threads = 0;
    // Called with the share done, 0 to 100, each time it grows, on the
    // calling thread. Returning false cancels.
    std::function<bool(int percent)> progress;
};

// Checks an APE file: the stored MD5 where the file has one, over exactly the
// bytes it covers, and every frame's CRC by a full decode.
VerifyResult verifyFile(const std::filesystem::path &path, const VerifyOptions &options = {});

// The MD5 part alone. `cancel` may be null.
enum class Md5Check
{
    NotStored, // a version before 3.98, or no APE descriptor
    Matches,
    Differs, // a changed byte, or a file shorter than its sizes say
    Unreadable,
    Cancelled,
};
Md5Check checkStoredMd5(const std::filesystem::path &path, const std::atomic<bool> *cancel);

} // namespace audio
