#include "DecodeAhead.h"

namespace ape {

DecodeAhead::DecodeAhead(const FrameSource &source, int threads)
    : source_(source), threads_(std::max(threads, 1)), window_(size_t(threads_))
{
}

DecodeAhead::~DecodeAhead()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    work_.notify_all();
    for (auto &t : workers_)
        t.join();
}

// Threads start with the first read, so a decoder opened only to learn the
// format costs no threads.
void DecodeAhead::startLocked()
{
    if (!workers_.empty())
        return;
    for (int i = 0; i < threads_; ++i) {
        try {
            workers_.emplace_back(&DecodeAhead::run, this);
        } catch (const std::system_error &) {
            break;
        }
    }
}

void DecodeAhead::recycleLocked(std::vector<uint8_t> &&buffer)
{
    if (buffer.capacity() > 0 && spare_.size() < window_)
        spare_.push_back(std::move(buffer));
}

void DecodeAhead::dropLocked(std::shared_ptr<Slot> &slot)
{
    if (slot->started && !slot->done)
        slot->dropped = true; // its worker recycles the buffer
    else
        recycleLocked(std::move(slot->pcm));
    slot.reset();
}

void DecodeAhead::fillLocked(uint32_t from)
{
    const uint32_t count = source_.info().frameCount;
    uint32_t next = slots_.empty() ? from : slots_.back()->index + 1;
    while (slots_.size() < window_ && next < count) {
        auto slot = std::make_shared<Slot>();
        slot->index = next++;
        slots_.push_back(std::move(slot));
    }
}

bool DecodeAhead::take(uint32_t index, std::vector<uint8_t> &pcm)
{
    std::unique_lock lock(mutex_);
    startLocked();
    const bool inWindow =
        !slots_.empty() && slots_.front()->index <= index && slots_.back()->index >= index;
    while (!slots_.empty() && (!inWindow || slots_.front()->index < index)) {
        dropLocked(slots_.front());
        slots_.pop_front();
    }
    fillLocked(index);
    work_.notify_all();

    std::shared_ptr<Slot> slot = slots_.front();
    if (workers_.empty()) {
        // No thread could be started: decode here.
        lock.unlock();
        auto context = source_.newContext();
        slot->ok = source_.decode(index, *context, slot->pcm);
        lock.lock();
        slot->done = true;
    }
    ready_.wait(lock, [&] { return slot->done; });
    slots_.pop_front();
    std::swap(pcm, slot->pcm);
    recycleLocked(std::move(slot->pcm));
    fillLocked(index + 1);
    work_.notify_one();
    return slot->ok;
}

void DecodeAhead::run()
{
    auto context = source_.newContext();
    std::unique_lock lock(mutex_);
    for (;;) {
        std::shared_ptr<Slot> slot;
        work_.wait(lock, [&] {
            if (stop_)
                return true;
            for (auto &s : slots_) {
                if (!s->started) {
                    slot = s;
                    return true;
                }
            }
            return false;
        });
        if (stop_)
            return;
        slot->started = true;
        std::vector<uint8_t> buffer;
        if (!spare_.empty()) {
            buffer = std::move(spare_.back());
            spare_.pop_back();
        }
        lock.unlock();
        const bool ok = source_.decode(slot->index, *context, buffer);
        lock.lock();
        if (slot->dropped) {
            recycleLocked(std::move(buffer));
            continue;
        }
        slot->pcm = std::move(buffer);
        slot->ok = ok;
        slot->done = true;
        ready_.notify_all();
    }
}

} // namespace ape
