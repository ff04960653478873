#pragma once

#include "FrameSource.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace ape {

// Decodes the frames after the one being read on worker threads, one frame
// per task, and hands them over in order. Besides the frame being read, at
// most one frame per thread is held (decoding or done), so memory stays a few
// frames whatever the file's length: an insane frame is 4.5 MiB of PCM. A
// take() of a frame outside the window (a seek) drops the window and starts
// again from that frame; frames still decoding for the old window are
// discarded when they finish.
class DecodeAhead
{
public:
    DecodeAhead(const FrameSource &source, int threads);
    ~DecodeAhead();
    DecodeAhead(const DecodeAhead &) = delete;
    DecodeAhead &operator=(const DecodeAhead &) = delete;

    // Waits for frame `index` and swaps its PCM into pcm (whose old buffer is
    // reused for a later frame). Returns what FrameSource::decode returned.
    bool take(uint32_t index, std::vector<uint8_t> &pcm);

private:
    struct Slot
    {
        uint32_t index = 0;
        bool started = false;
        bool done = false;
        bool ok = false;
        bool dropped = false;
        std::vector<uint8_t> pcm;
    };

    void run();
    void startLocked();
    void dropLocked(std::shared_ptr<Slot> &slot);
    void recycleLocked(std::vector<uint8_t> &&buffer);
    void fillLocked(uint32_t from);

    const FrameSource &source_;
    const int threads_;
    const size_t window_;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable ready_;
    bool stop_ = false;
    std::deque<std::shared_ptr<Slot>> slots_;
    std::vector<std::vector<uint8_t>> spare_;
    std::vector<std::thread> workers_;
};

} // namespace ape
