#pragma once

#include "audio/AudioEngine.h"

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>

// A failure of an export, with the text the user is shown. what() gives the
// same text in UTF-8, so any handler of std::exception can report it.
class ExportError : public std::runtime_error
{
public:
    explicit ExportError(const QString &message)
        : std::runtime_error(message.toStdString()), message_(message)
    {
    }
    const QString &message() const { return message_; }

private:
    QString message_;
};

constexpr uint16_t kWavFormatPcm = 1;
constexpr uint16_t kWavFormatFloat = 3;

// The format fields of the WAV header, as derived from a decode stream.
struct WavFormat
{
    uint16_t formatTag = kWavFormatPcm;
    uint16_t channels = 0;
    uint16_t bitsPerSample = 0;
    uint16_t blockAlign = 0;
    uint32_t sampleRate = 0;
    uint32_t byteRate = 0;
};

constexpr int kWavHeaderSize = 44;
constexpr uint32_t kWavBlockSize = 10000;
// The largest data chunk whose file still has both size fields within 32 bits.
constexpr uint64_t kWavMaxDataBytes = 0xFFFFFFFFull - kWavHeaderSize;

// Derives the header's format from the engine's channel record and the
// sample-rate attribute. Returns false when they describe no usable PCM
// (no channels, no rate, a width the header cannot hold, floats that are not
// 32-bit).
bool wavFormatOf(const audio::ChannelInfo &info, float sampleRate, WavFormat *format);

// The 44-byte RIFF/WAVE header with the given size fields.
std::array<uint8_t, kWavHeaderSize> wavHeader(const WavFormat &format, uint32_t riffSize,
                                              uint32_t dataSize);

// "Decoding ... N%", N the truncated share of position in length.
QString decodingProgressText(int64_t position, int64_t length);

// The system's text for an errno value, without trailing spaces, control
// characters and full stops, so it can end a sentence of ours.
QString systemErrorText(int errorCode);
QString trimSystemText(const QString &text);

// What the writer tells the window while it runs. Either may be empty.
struct WavProgress
{
    std::function<void(const QString &)> showText;
    std::function<void()> processEvents;
};

// Writes the decode-only stream out as a PCM WAV file at destinationPath. The
// stream is read to its end but not freed. sourcePath only names the source
// in messages. Throws ExportError; a file that was created is then removed,
// and it is closed on every path out. maxDataBytes exists so tests can reach
// the size guard without writing gigabytes.
void writeWavFile(audio::IAudioEngine &engine, audio::StreamHandle stream,
                  const QString &sourcePath, const QString &destinationPath,
                  const WavProgress &progress = {}, uint64_t maxDataBytes = kWavMaxDataBytes);
// The same for a destination named as the file system spells it.
void writeWavFile(audio::IAudioEngine &engine, audio::StreamHandle stream,
                  const QString &sourcePath, const QByteArray &destinationPath,
                  const WavProgress &progress = {}, uint64_t maxDataBytes = kWavMaxDataBytes);
