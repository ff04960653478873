#include "Verify.h"

#include "FfmpegDecoder.h"
#include "ape/ApeDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" {
#include <libavutil/md5.h>
#include <libavutil/mem.h>
}

namespace audio {

namespace {

uint32_t le32(const uint8_t *p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

// The first version whose files begin with a descriptor, which holds the MD5.
constexpr int kFirstVersionWithMd5 = 3980;
constexpr size_t kDescriptorBytes = 52;
constexpr size_t kReadChunk = size_t(1) << 20;

class Fd
{
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }

    // All n bytes at `at`, or false.
    bool readAt(int64_t at, void *buf, size_t n) const
    {
        size_t got = 0;
        while (got < n) {
            const ssize_t r =
                ::pread(fd_, static_cast<uint8_t *>(buf) + got, n - got, off_t(at + int64_t(got)));
            if (r < 0 && errno == EINTR)
                continue;
            if (r <= 0)
                return false;
            got += size_t(r);
        }
        return true;
    }

private:
    int fd_;
};

struct Md5Free
{
    void operator()(AVMD5 *md5) const { av_free(md5); }
};

struct Piece
{
    int64_t at = 0;
    int64_t size = 0;
};

// The pieces the stored MD5 covers, in the order it takes them (not the
// file's): the stored source header, the frame data with the terminating
// data, the header block, the seek table. False when the file has no MD5.
bool md5Layout(const Fd &file, int64_t &junk, uint8_t stored[16], Piece pieces[4])
{
    // A leading ID3v2 tag is skipped; its size is stored in 7-bit bytes.
    junk = 0;
    uint8_t id3[10];
    if (file.readAt(0, id3, sizeof id3) && std::memcmp(id3, "ID3", 3) == 0) {
        junk = 10 + ((int64_t(id3[6] & 0x7f) << 21) | ((id3[7] & 0x7f) << 14) |
                     ((id3[8] & 0x7f) << 7) | (id3[9] & 0x7f));
        if (id3[5] & 0x10)
            junk += 10;
    }
    uint8_t d[kDescriptorBytes];
    if (!file.readAt(junk, d, sizeof d))
        return false;
    if (std::memcmp(d, "MAC ", 4) != 0 && std::memcmp(d, "MACF", 4) != 0)
        return false;
    const int version = d[4] | (d[5] << 8);
    if (version < kFirstVersionWithMd5)
        return false;
    const int64_t descriptorBytes = le32(d + 8);
    const int64_t headerBytes = le32(d + 12);
    const int64_t seekTableBytes = le32(d + 16);
    const int64_t headerDataBytes = le32(d + 20);
    const int64_t frameBytes = (int64_t(le32(d + 28)) << 32) + le32(d + 24);
    const int64_t terminatingBytes = le32(d + 32);
    std::memcpy(stored, d + 36, 16);

    const int64_t headerAt = junk + descriptorBytes;
    const int64_t seekTableAt = headerAt + headerBytes;
    const int64_t headerDataAt = seekTableAt + seekTableBytes;
    const int64_t frameDataAt = headerDataAt + headerDataBytes;
    pieces[0] = {headerDataAt, headerDataBytes};
    pieces[1] = {frameDataAt, frameBytes + terminatingBytes};
    pieces[2] = {headerAt, headerBytes};
    pieces[3] = {seekTableAt, seekTableBytes};
    return true;
}

} // namespace

Md5Check checkStoredMd5(const std::filesystem::path &path, const std::atomic<bool> *cancel)
{
    const Fd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (file.get() < 0)
        return Md5Check::Unreadable;
    struct stat st;
    if (::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Md5Check::Unreadable;
    int64_t junk = 0;
    uint8_t stored[16];
    Piece pieces[4];
    if (!md5Layout(file, junk, stored, pieces))
        return Md5Check::NotStored;
    const int64_t size = int64_t(st.st_size);
    for (const Piece &p : pieces)
        if (p.at < 0 || p.size < 0 || p.at > size || p.size > size - p.at)
            return Md5Check::Differs; // cut short: the terminating data, or more, is gone
    ::posix_fadvise(file.get(), 0, 0, POSIX_FADV_SEQUENTIAL);

    std::unique_ptr<AVMD5, Md5Free> md5(av_md5_alloc());
    if (!md5)
        return Md5Check::Unreadable;
    av_md5_init(md5.get());
    std::vector<uint8_t> buffer(kReadChunk);
    for (const Piece &p : pieces) {
        for (int64_t done = 0; done < p.size;) {
            if (cancel && cancel->load(std::memory_order_relaxed))
                return Md5Check::Cancelled;
            const size_t n = size_t(std::min<int64_t>(p.size - done, int64_t(buffer.size())));
            if (!file.readAt(p.at + done, buffer.data(), n))
                return Md5Check::Unreadable;
            av_md5_update(md5.get(), buffer.data(), n);
            done += int64_t(n);
        }
    }
    uint8_t digest[16];
    av_md5_final(md5.get(), digest);
    return std::memcmp(digest, stored, 16) == 0 ? Md5Check::Matches : Md5Check::Differs;
}

namespace {

VerifyResult cancelled()
{
    VerifyResult r;
    r.status = VerifyResult::Status::Cancelled;
    return r;
}

VerifyResult unreadable(std::string reason)
{
    VerifyResult r;
    r.status = VerifyResult::Status::Unreadable;
    r.reason = std::move(reason);
    return r;
}

// Runs the MD5 part beside the frames, on a thread of its own: it costs a
// small share of a decode, and the decoding threads rarely leave a core idle
// for long, so it ends well before them. Cancelled and joined on every path.
class Md5Beside
{
public:
    explicit Md5Beside(const std::filesystem::path &path)
        : thread_([this, path] {
              try {
                  result_ = checkStoredMd5(path, &cancel_);
              } catch (...) {
                  result_ = Md5Check::Unreadable;
              }
          })
    {
    }
    ~Md5Beside()
    {
        if (thread_.joinable()) {
            cancel_ = true;
            thread_.join();
        }
    }
    Md5Beside(const Md5Beside &) = delete;
    Md5Beside &operator=(const Md5Beside &) = delete;

    Md5Check wait()
    {
        thread_.join();
        return result_;
    }

private:
    std::atomic<bool> cancel_{false};
    Md5Check result_ = Md5Check::Unreadable;
    std::thread thread_;
};

} // namespace

VerifyResult verifyFile(const std::filesystem::path &path, const VerifyOptions &options)
{
    const int threads = options.threads > 0
                            ? options.threads
                            : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    std::string error;
    bool unsupported = false;
    std::unique_ptr<Decoder> decoder;
    // Where each of the file's frames starts, in sample frames.
    std::vector<int64_t> starts;
    if (auto native = ape::openNativeDecoder(path, &error, {threads}, &unsupported)) {
        const ape::StreamInfo &info = native->streamInfo();
        starts.resize(info.frameCount);
        for (uint32_t i = 0; i < info.frameCount; ++i)
            starts[i] = int64_t(i) * info.blocksPerFrame;
        decoder = std::move(native);
    } else if (unsupported) {
        // Older versions: FFmpeg decodes them, checking the CRC where the
        // version stores one, and the frames are those of its index.
        auto older = FfmpegDecoder::open(path, &error);
        if (!older)
            return unreadable(error);
        starts = older->frameStarts();
        decoder = std::move(older);
    } else {
        return unreadable(error);
    }
    if (starts.empty() || starts.front() != 0)
        starts.insert(starts.begin(), 0);

    Md5Beside md5(path);

    VerifyResult result;
    result.frames = int64_t(starts.size());
    const int64_t total = decoder->totalFrames();
    const int64_t bytesPerFrame = std::max(1, decoder->format().bytesPerFrame());
    const int64_t chunk = std::max<int64_t>(1, int64_t(kReadChunk) / bytesPerFrame);
    std::vector<uint8_t> buffer(size_t(chunk * bytesPerFrame));
    int lastPercent = -1;
    auto report = [&](int64_t pos) {
        const int percent = total > 0 ? int(pos * 100 / total) : 100;
        if (percent <= lastPercent || !options.progress)
            return true;
        lastPercent = percent;
        return options.progress(percent);
    };
    auto fail = [&](size_t frame, size_t count) {
        if (result.firstFailedFrame < 0) {
            result.firstFailedFrame = int64_t(frame);
            const int rate = decoder->format().sampleRate;
            result.firstFailedSeconds = rate > 0 ? double(starts[frame]) / rate : 0;
        }
        result.failedFrames += int64_t(count);
    };

    if (!report(0))
        return cancelled();
    int64_t pos = 0;
    while (pos < total) {
        const int64_t n = decoder->read(buffer.data(), std::min(chunk, total - pos));
        if (n > 0) {
            pos += n;
            if (!report(pos))
                return cancelled();
            continue;
        }
        // The frame holding pos fails its check, or its data ends early.
        const size_t frame =
            size_t(std::upper_bound(starts.begin(), starts.end(), pos) - starts.begin() - 1);
        const int64_t next = frame + 1 < starts.size() ? starts[frame + 1] : total;
        if (next <= pos || (next < total && !decoder->seek(next))) {
            fail(frame, starts.size() - frame);
            break;
        }
        fail(frame, 1);
        pos = next;
        if (!report(pos))
            return cancelled();
    }

    const Md5Check md5Result = md5.wait();
    if (md5Result == Md5Check::Unreadable)
        return unreadable("the file cannot be read to its end");
    result.md5Stored = md5Result != Md5Check::NotStored;
    result.md5Matches = md5Result == Md5Check::Matches;
    const bool damaged = result.failedFrames > 0 || md5Result == Md5Check::Differs;
    result.status = damaged ? VerifyResult::Status::Damaged : VerifyResult::Status::Intact;
    return result;
}

} // namespace audio
