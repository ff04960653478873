// The decodes ape_decoder_bench times, and the helpers around them: the
// native decoder and FFmpeg's in-process decode to memory, a decode's peak
// memory in a fresh process, and the expected PCM MD5s of a folder.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace decoderbench {

struct Output
{
    int64_t frames = 0;
    std::string md5; // empty when not asked for, or on failure
    bool ok = false;
};

// Decodes the whole file with the native decoder into one reused buffer.
Output decodeNative(const std::filesystem::path &path, int threads, bool hash);
// FFmpeg's decode as its own API gives it: demux packets, send them, receive
// frames, copy each frame's planes to memory.
Output decodeFfmpeg(const std::filesystem::path &path);
// The APE frame count in the file's header, or 0.
uint32_t apeFrames(const std::filesystem::path &path);

// Peak resident memory of a decode, measured in a fresh process so nothing
// of this one counts: the child is this program in its --peak mode.
std::optional<long> peakKiB(const std::filesystem::path &self, const std::filesystem::path &file,
                            int threads);
// The --peak mode: decodes the file and prints VmHWM in KiB.
int peakMode(const char *file, const char *threads);

// file name -> pcm_md5 of a folder's manifest.tsv.
std::map<std::string, std::string> manifestMd5(const std::filesystem::path &dir);

} // namespace decoderbench
