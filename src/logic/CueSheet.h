#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>

// CUE sheets: what an album image's sheet says (parseSheet), which file a
// FILE line means (resolveFile), and the rows the sheet gives once each
// image's rate and length are known (loadSheetFile, loadEmbeddedSheet).
namespace cue {

// CD frames of 1/75 s in a second; CUE times count them.
constexpr int kCdFramesPerSecond = 75;
// Larger input is refused unread: a real sheet holds a few kilobytes, and
// even 10,000 tracks stay under a megabyte.
constexpr qsizetype kMaxSheetBytes = 4 * 1024 * 1024;
// A disc holds at most 99 tracks, so a sheet naming more files than this is
// no album; each file is looked up and probed, which bounds the time.
constexpr int kMaxSheetFiles = 999;

struct Track
{
    int number = 0;
    QString title;
    QString performer;
    bool audio = true;
    // CD frames from the start of its FILE; -1 for a data track without one.
    int64_t index01 = -1;
};

struct File
{
    QString name; // as the sheet writes it
    QList<Track> tracks;
};

struct Sheet
{
    QString title;
    QString performer;
    QList<File> files;
};

// Text in a legacy code page or a Unicode encoding, as a sheet's bytes are
// read: UTF-8 with or without a byte-order mark, UTF-16 with one, else the
// code page uchardet names (Windows' Western one when it cannot tell).
// Nothing for a zero byte or a byte-order mark the rest belies; `why` then
// says why. Tag texts that should be UTF-8 and are not are read this way too.
std::optional<QString> decodeText(const QByteArray &bytes, QString *why = nullptr);

// Reads a sheet's bytes: UTF-8 with or without a byte-order mark, UTF-16 with
// one, else the legacy code page uchardet names. Nothing when the text is no
// sheet (empty, binary, too large, too many FILEs, no TRACK, a bad time, an audio track without
// INDEX 01, times going backwards within a FILE); `why` then says why.
std::optional<Sheet> parseSheet(const QByteArray &bytes, QString *why = nullptr);

// The file a FILE line names, looked up beside the sheet: the exact name, the
// same name in another letter case, then the same stem with ".ape". A "\" is a
// folder separator; an absolute path is looked up by its base name. Empty when
// none is there.
QString resolveFile(const QString &sheetDir, const QString &name);

struct ImageFormat
{
    int rate = 0;
    int64_t frames = 0; // sample frames in the whole image
};
// The rate and length of an image, or nothing when it cannot be read.
using ImageProbe = std::function<std::optional<ImageFormat>(const QString &apePath)>;

struct AlbumTrack
{
    QString imagePath;
    int number = 0;    // 0: audio before the first track's INDEX 01
    QString title;     // the track's; empty for track 0
    QString performer; // the track's, else the disc's; empty for track 0
    QString album;     // the sheet's TITLE
    QString albumPerformer;
    int64_t firstFrame = 0; // sample frames from the start of imagePath
    int64_t endFrame = 0;   // exclusive
    int64_t imageFrames = 0;
    int rate = 0;
};

struct AlbumLoad
{
    QList<AlbumTrack> tracks;
    bool refused = false;  // nothing added: the whole sheet is bad
    bool cutShort = false; // a track started beyond its file's end (or its file
                           // cannot be read): only the tracks before it
    QString why;
};

// The real probe: the image's header, read by the engine's decoder.
std::optional<ImageFormat> probeImage(const QString &apePath);

// The sample frame a CUE time of `cdFrames` falls on at `rate`.
inline int64_t sampleOfCdFrames(int64_t cdFrames, int rate)
{
    return cdFrames * rate / kCdFramesPerSecond;
}

// The rows of the sheet at sheetPath, its files found beside it.
AlbumLoad loadSheetFile(const QString &sheetPath, const ImageProbe &probe);
// The rows of a sheet embedded in apePath's tag: it describes apePath,
// whatever its FILE lines say.
AlbumLoad loadEmbeddedSheet(const QString &apePath, const QString &sheetText,
                            const ImageProbe &probe);
// The layout itself, each FILE of the sheet already matched to an image
// (`paths` in the order of sheet.files; an empty path: not found).
AlbumLoad layOutSheet(const Sheet &sheet, const QStringList &paths, const ImageProbe &probe);

} // namespace cue
