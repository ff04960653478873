#include "logic/WavWriter.h"

#include "logic/FileNames.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace audio;

namespace {

void putU16(uint8_t *at, uint16_t v)
{
    at[0] = static_cast<uint8_t>(v);
    at[1] = static_cast<uint8_t>(v >> 8);
}

void putU32(uint8_t *at, uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        at[i] = static_cast<uint8_t>(v >> (8 * i));
}

QString cannotDecodeText(const QString &sourcePath)
{
    return QStringLiteral("Cannot decode file \"%1\".").arg(sourcePath);
}

QString tooLongText(const QString &sourcePath)
{
    return QStringLiteral("The file \"%1\" is too long to be written as a WAV file.")
        .arg(sourcePath);
}

// The output file from creation to close. Unless finish() completes, the
// destructor closes it and removes what was written, so no half-written WAV
// survives an error, whichever way the error leaves the writer.
class OutputFile
{
public:
    explicit OutputFile(const QByteArray &absolutePath)
        : name_(absolutePath), path_(displayPath(absolutePath))
    {
        do
            fd_ = ::open(name_.constData(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        while (fd_ < 0 && errno == EINTR);
        if (fd_ < 0)
            throw ExportError(
                QStringLiteral("Cannot create file \"%1\". %2").arg(path_, systemErrorText(errno)));
        struct stat st;
        if (::fstat(fd_, &st) == 0) {
            regular_ = S_ISREG(st.st_mode);
            device_ = st.st_dev;
            inode_ = st.st_ino;
        }
    }

    OutputFile(const OutputFile &) = delete;
    OutputFile &operator=(const OutputFile &) = delete;

    ~OutputFile()
    {
        if (fd_ < 0)
            return;
        ::close(fd_);
        removeIncomplete();
    }

    void append(const uint8_t *data, size_t size)
    {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                failWrite(n < 0 ? errno : ENOSPC);
            data += n;
            size -= static_cast<size_t>(n);
        }
    }

    // Writes the two size fields from the file's real length and closes it.
    void finish(uint64_t appended)
    {
        uint64_t length = kWavHeaderSize + appended;
        if (regular_) {
            struct stat st;
            if (::fstat(fd_, &st) != 0)
                failWrite(errno);
            length = static_cast<uint64_t>(st.st_size);
        }
        uint8_t field[4];
        putU32(field, static_cast<uint32_t>(length - 8));
        putAt(4, field);
        putU32(field, static_cast<uint32_t>(length - kWavHeaderSize));
        putAt(40, field);
        // Writes into a file whose name was removed (its folder deleted, say)
        // all succeed, but leave nothing at the destination: not a success.
        if (regular_ && !stillAtPath())
            failWrite(errno != 0 ? errno : ENOENT);
        const int fd = fd_;
        fd_ = -1;
        // A network file system may report a lost write only here.
        if (::close(fd) != 0 && errno != EINTR) {
            const int error = errno;
            removeIncomplete();
            throw writeError(error);
        }
    }

private:
    void putAt(off_t offset, const uint8_t (&field)[4])
    {
        size_t done = 0;
        while (done < sizeof field) {
            const ssize_t n =
                ::pwrite(fd_, field + done, sizeof field - done, offset + static_cast<off_t>(done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                failWrite(n < 0 ? errno : ENOSPC);
            done += static_cast<size_t>(n);
        }
    }

    ExportError writeError(int error) const
    {
        return ExportError(
            QStringLiteral("Cannot write file \"%1\". %2").arg(path_, systemErrorText(error)));
    }

    [[noreturn]] void failWrite(int error) { throw writeError(error); }

    // Whether the destination path still names the file we created; errno
    // is 0 when it names another one.
    bool stillAtPath() const
    {
        struct stat st;
        if (::stat(name_.constData(), &st) != 0)
            return false;
        errno = 0;
        return st.st_dev == device_ && st.st_ino == inode_;
    }

    // Only a regular file that is still the one we created is removed: a
    // destination such as /dev/full must survive a failed export.
    void removeIncomplete()
    {
        if (regular_ && stillAtPath())
            ::unlink(name_.constData());
    }

    QByteArray name_;
    QString path_; // its text, for messages
    int fd_ = -1;
    bool regular_ = false;
    dev_t device_ = 0;
    ino_t inode_ = 0;
};

} // namespace

bool wavFormatOf(const ChannelInfo &info, float sampleRate, WavFormat *format)
{
    uint32_t bits;
    if ((info.flags & kInfoSample8Bits) || info.bytesPerSample == 1)
        bits = 8;
    else if (info.bytesPerSample == 0)
        bits = 16; // an engine that names no width delivers 16-bit samples
    else if (info.bytesPerSample <= 4)
        bits = info.bytesPerSample * 8;
    else
        return false;
    const bool isFloat = (info.flags & kInfoSampleFloat) != 0;
    if (isFloat && bits != 32)
        return false;
    if (info.chans == 0 || info.chans > 0xFFFF)
        return false;
    const uint32_t blockAlign = info.chans * bits / 8;
    if (blockAlign > 0xFFFF)
        return false;
    // Converting a NaN or an out-of-range float to an integer is undefined.
    if (!(sampleRate >= 1.0f && sampleRate < 4294967296.0f))
        return false;
    format->formatTag = isFloat ? kWavFormatFloat : kWavFormatPcm;
    format->channels = static_cast<uint16_t>(info.chans);
    format->bitsPerSample = static_cast<uint16_t>(bits);
    format->blockAlign = static_cast<uint16_t>(blockAlign);
    format->sampleRate = static_cast<uint32_t>(sampleRate);
    format->byteRate = static_cast<uint32_t>(uint64_t{blockAlign} * format->sampleRate);
    return true;
}

std::array<uint8_t, kWavHeaderSize> wavHeader(const WavFormat &format, uint32_t riffSize,
                                              uint32_t dataSize)
{
    std::array<uint8_t, kWavHeaderSize> h{};
    std::memcpy(&h[0], "RIFF", 4);
    putU32(&h[4], riffSize);
    std::memcpy(&h[8], "WAVE", 4);
    std::memcpy(&h[12], "fmt ", 4);
    putU32(&h[16], 16);
    putU16(&h[20], format.formatTag);
    putU16(&h[22], format.channels);
    putU32(&h[24], format.sampleRate);
    putU32(&h[28], format.byteRate);
    putU16(&h[32], format.blockAlign);
    putU16(&h[34], format.bitsPerSample);
    std::memcpy(&h[36], "data", 4);
    putU32(&h[40], dataSize);
    return h;
}

QString decodingProgressText(int64_t position, int64_t length)
{
    // Undefined shares (no length, an error value, a position past the end)
    // are pinned to 0 and 100 rather than shown as nonsense.
    int64_t percent;
    if (length <= 0 || position <= 0)
        percent = 0;
    else if (position >= length)
        percent = 100;
    else
        percent = static_cast<int64_t>(static_cast<long double>(position) /
                                       static_cast<long double>(length) * 100.0L);
    return QStringLiteral("Decoding ... %1%").arg(percent);
}

QString systemErrorText(int errorCode)
{
    return trimSystemText(QString::fromLocal8Bit(std::strerror(errorCode)));
}

QString trimSystemText(const QString &text)
{
    qsizetype end = text.size();
    while (end > 0) {
        const QChar c = text[end - 1];
        if (c != QLatin1Char(' ') && c != QLatin1Char('.') && c.category() != QChar::Other_Control)
            break;
        --end;
    }
    return text.left(end);
}

void writeWavFile(IAudioEngine &engine, StreamHandle stream, const QString &sourcePath,
                  const QString &destinationPath, const WavProgress &progress,
                  uint64_t maxDataBytes)
{
    writeWavFile(engine, stream, sourcePath, QFile::encodeName(destinationPath), progress,
                 maxDataBytes);
}

void writeWavFile(IAudioEngine &engine, StreamHandle stream, const QString &sourcePath,
                  const QByteArray &destinationPath, const WavProgress &progress,
                  uint64_t maxDataBytes)
{
    ChannelInfo info;
    float rate = 0.0f;
    const bool haveInfo = engine.ChannelGetInfo(stream, &info);
    const bool haveRate = engine.ChannelGetAttribute(stream, kAttribFreq, &rate);
    WavFormat format;
    if (!haveInfo || !haveRate || !wavFormatOf(info, rate, &format))
        throw ExportError(cannotDecodeText(sourcePath));

    // Refused before the file exists: a header whose sizes wrapped would
    // describe a different, shorter file.
    const int64_t expected = engine.ChannelGetLength(stream, kPosByte);
    if (expected > 0 && static_cast<uint64_t>(expected) > maxDataBytes)
        throw ExportError(tooLongText(sourcePath));

    OutputFile file(absolutePath(destinationPath, currentDirectory()));
    const auto header = wavHeader(format, 0, 0);
    file.append(header.data(), header.size());

    std::vector<uint8_t> buffer(kWavBlockSize);
    uint64_t appended = 0;
    while (engine.ChannelIsActive(stream) != kActiveStopped) {
        const uint32_t got = engine.ChannelGetData(stream, buffer.data(), kWavBlockSize);
        if (got == kDataError || got > kWavBlockSize)
            throw ExportError(cannotDecodeText(sourcePath));
        // The reported length can understate what the stream delivers.
        if (appended + got > maxDataBytes)
            throw ExportError(tooLongText(sourcePath));
        file.append(buffer.data(), got);
        appended += got;
        if (progress.processEvents)
            progress.processEvents();
        const int64_t position = engine.ChannelGetPosition(stream, kPosByte);
        const int64_t length = engine.ChannelGetLength(stream, kPosByte);
        if (progress.showText)
            progress.showText(decodingProgressText(position, length));
        if (progress.processEvents)
            progress.processEvents();
    }
    file.finish(appended);
}
