#include "logic/CueSheet.h"

#include "audio/Decoder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QStringList>
#include <algorithm>
#include <memory>
#include <uchardet.h>

namespace cue {
namespace {

bool fail(QString *why, const QString &text)
{
    if (why)
        *why = text;
    return false;
}

// Strict UTF-8, so that a legacy code page is never taken for it.
std::optional<QString> decodeUtf8(QByteArrayView bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// What uchardet is shown of a sheet: its lines that hold other than ASCII
// (the titles, where the code page tells), up to this many bytes. It takes
// over a second per megabyte, and the keywords tell it nothing.
constexpr qsizetype kDetectionSample = 64 * 1024;

// The code page uchardet names, or empty when it cannot tell.
QByteArray detectCodePage(QByteArrayView bytes)
{
    QByteArray sample;
    for (qsizetype pos = 0; pos < bytes.size() && sample.size() < kDetectionSample;) {
        qsizetype end = pos;
        bool ascii = true;
        while (end < bytes.size() && bytes[end] != '\n' && bytes[end] != '\r') {
            ascii = ascii && uint8_t(bytes[end]) < 0x80;
            ++end;
        }
        if (!ascii)
            sample.append(bytes.sliced(pos, std::min(end - pos, kDetectionSample))).append('\n');
        pos = end + 1;
    }
    const std::unique_ptr<std::remove_pointer_t<uchardet_t>, void (*)(uchardet_t)> detector(
        uchardet_new(), uchardet_delete);
    if (!detector ||
        uchardet_handle_data(detector.get(), sample.constData(), size_t(sample.size())) != 0)
        return {};
    uchardet_data_end(detector.get());
    return QByteArray(uchardet_get_charset(detector.get()));
}

} // namespace

std::optional<QString> decodeText(const QByteArray &bytes, QString *why)
{
    const QByteArrayView view(bytes);
    if (view.startsWith("\xEF\xBB\xBF")) {
        auto text = decodeUtf8(view.sliced(3));
        if (!text)
            fail(why, QStringLiteral("the sheet has a UTF-8 byte-order mark but is not UTF-8"));
        return text;
    }
    if (view.startsWith("\xFF\xFE") || view.startsWith("\xFE\xFF")) {
        const bool little = uint8_t(view[0]) == 0xFF;
        QStringDecoder decoder(little ? QStringDecoder::Utf16LE : QStringDecoder::Utf16BE,
                               QStringDecoder::Flag::Stateless);
        QString text = decoder.decode(view.sliced(2));
        if (decoder.hasError()) {
            fail(why, QStringLiteral("the sheet has a UTF-16 byte-order mark but is not UTF-16"));
            return std::nullopt;
        }
        return text;
    }
    // A text file never holds a zero byte; binary data and UTF-16 without a
    // mark do.
    if (view.contains('\0')) {
        fail(why, QStringLiteral("the sheet is not a text file"));
        return std::nullopt;
    }
    if (auto text = decodeUtf8(view))
        return text;
    QByteArray name = detectCodePage(view);
    // Windows' Western code page is what such sheets are written in; it only
    // adds printable characters (quotes, dashes) where Latin-1 has controls.
    if (name == "ISO-8859-1")
        name = "windows-1252";
    if (!name.isEmpty()) {
        QStringDecoder decoder(name.constData(), QStringDecoder::Flag::Stateless);
        if (decoder.isValid()) {
            QString text = decoder.decode(view);
            if (!decoder.hasError())
                return text;
        }
    }
    // Undetected: Windows' Western code page maps every byte, so the sheet
    // still reads, its titles at worst misspelt.
    QStringDecoder fallback("windows-1252", QStringDecoder::Flag::Stateless);
    if (fallback.isValid())
        return fallback.decode(view);
    return QString::fromLatin1(bytes);
}

namespace {

bool isSpace(QChar c)
{
    return c == u' ' || c == u'\t' || c == u'\f' || c == u'\v';
}

// One line split into its keyword and the rest, outer blanks removed.
struct Line
{
    QStringView keyword;
    QStringView rest;
};

// The next blank-separated word of rest, which is advanced past it.
QStringView nextWord(QStringView &rest)
{
    qsizetype i = 0;
    while (i < rest.size() && isSpace(rest[i]))
        ++i;
    qsizetype k = i;
    while (k < rest.size() && !isSpace(rest[k]))
        ++k;
    const QStringView word = rest.sliced(i, k - i);
    rest = rest.sliced(k);
    return word;
}

Line splitLine(QStringView line)
{
    Line out;
    out.keyword = nextWord(line);
    out.rest = line.trimmed();
    return out;
}

// A text value: between the first and the last quote when quoted (a title may
// hold quotes of its own), else the whole rest; outer spaces trimmed. There
// are no escapes: a "\" is a character of the title (and in Shift-JIS text
// it was only ever the second byte of a character the decoder has read).
QString textValue(QStringView rest)
{
    if (rest.startsWith(u'"')) {
        const qsizetype last = rest.lastIndexOf(u'"');
        rest = last > 0 ? rest.sliced(1, last - 1) : rest.sliced(1);
    }
    return rest.trimmed().toString();
}

// A FILE line's name: quoted, or everything before the type word.
QString fileValue(QStringView rest)
{
    if (rest.startsWith(u'"'))
        return textValue(rest);
    qsizetype end = rest.size();
    while (end > 0 && !isSpace(rest[end - 1]))
        --end;
    if (end == 0)
        return rest.toString();
    return rest.first(end).trimmed().toString();
}

// A decimal number of at most `digits` digits, or -1.
int64_t number(QStringView text, int digits)
{
    if (text.isEmpty() || text.size() > digits)
        return -1;
    int64_t value = 0;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return -1;
        value = value * 10 + (c.unicode() - u'0');
    }
    return value;
}

// MM:SS:FF in CD frames, or -1. Minutes may pass 99: long images do.
int64_t cueTime(QStringView text)
{
    const auto first = text.indexOf(u':');
    const auto second = first < 0 ? -1 : text.indexOf(u':', first + 1);
    if (second < 0)
        return -1;
    const int64_t minutes = number(text.first(first), 6);
    const int64_t seconds = number(text.sliced(first + 1, second - first - 1), 2);
    const int64_t frames = number(text.sliced(second + 1), 2);
    if (minutes < 0 || seconds < 0 || seconds >= 60 || frames < 0 || frames >= kCdFramesPerSecond)
        return -1;
    return (minutes * 60 + seconds) * kCdFramesPerSecond + frames;
}

bool checkSheet(const Sheet &sheet, QString *why)
{
    bool anyTrack = false;
    for (const File &file : sheet.files) {
        int64_t last = -1;
        int lastNumber = 0;
        for (const Track &track : file.tracks) {
            anyTrack = true;
            if (track.index01 < 0) {
                if (track.audio)
                    return fail(why, QStringLiteral("track %1 has no INDEX 01").arg(track.number));
                continue;
            }
            if (track.index01 <= last)
                return fail(why, QStringLiteral("the times go backwards: track %1 starts before "
                                                "track %2 ends")
                                     .arg(lastNumber)
                                     .arg(track.number));
            last = track.index01;
            lastNumber = track.number;
        }
    }
    if (!anyTrack)
        return fail(why, QStringLiteral("the sheet has no TRACK"));
    return true;
}

} // namespace

std::optional<Sheet> parseSheet(const QByteArray &bytes, QString *why)
{
    if (bytes.size() > kMaxSheetBytes) {
        fail(
            why,
            QStringLiteral("the sheet is %1 bytes, more than a CUE sheet holds").arg(bytes.size()));
        return std::nullopt;
    }
    const std::optional<QString> decoded = decodeText(bytes, why);
    if (!decoded)
        return std::nullopt;
    QStringView text(*decoded);
    if (text.startsWith(QChar(0xFEFF)))
        text = text.sliced(1);

    Sheet sheet;
    Track *track = nullptr; // the track the lines belong to, if any
    bool anyTrack = false;
    int lineNumber = 0;
    qsizetype pos = 0;
    while (pos < text.size()) {
        qsizetype end = pos;
        while (end < text.size() && text[end] != u'\n' && text[end] != u'\r')
            ++end;
        const QStringView raw = text.sliced(pos, end - pos);
        if (end < text.size() && text[end] == u'\r' && end + 1 < text.size() &&
            text[end + 1] == u'\n')
            ++end;
        pos = end + 1;
        ++lineNumber;

        const Line line = splitLine(raw);
        if (line.keyword.isEmpty())
            continue;
        const auto is = [&](const char *word) {
            return line.keyword.compare(QLatin1StringView(word), Qt::CaseInsensitive) == 0;
        };
        const auto bad = [&](const QString &what) {
            fail(why, QStringLiteral("line %1: %2").arg(lineNumber).arg(what));
            return std::nullopt;
        };

        if (is("TITLE") || is("PERFORMER")) {
            QString value = textValue(line.rest);
            QString *target = nullptr;
            if (track)
                target = is("TITLE") ? &track->title : &track->performer;
            else if (!anyTrack)
                target = is("TITLE") ? &sheet.title : &sheet.performer;
            if (target)
                *target = std::move(value);
        } else if (is("FILE")) {
            File file;
            file.name = fileValue(line.rest);
            if (file.name.isEmpty())
                return bad(QStringLiteral("FILE names no file"));
            if (sheet.files.size() >= kMaxSheetFiles)
                return bad(QStringLiteral("more than %1 FILE lines").arg(kMaxSheetFiles));
            // A track whose INDEX 01 comes after this line (its gap at the
            // end of the file before) starts in this file.
            if (!sheet.files.isEmpty()) {
                QList<Track> &before = sheet.files.last().tracks;
                if (!before.isEmpty() && before.last().index01 < 0) {
                    file.tracks.append(before.takeLast());
                }
            }
            sheet.files.append(std::move(file));
            track =
                sheet.files.last().tracks.isEmpty() ? nullptr : &sheet.files.last().tracks.last();
        } else if (is("TRACK")) {
            QStringView rest = line.rest;
            const int64_t n = number(nextWord(rest), 6);
            if (n < 0)
                return bad(QStringLiteral("TRACK needs a number"));
            // A sheet that starts with its tracks: its one file is the image
            // it is embedded in, or none.
            if (sheet.files.isEmpty())
                sheet.files.append(File());
            Track next;
            next.number = int(n);
            next.audio =
                nextWord(rest).compare(QLatin1StringView("AUDIO"), Qt::CaseInsensitive) == 0;
            sheet.files.last().tracks.append(std::move(next));
            track = &sheet.files.last().tracks.last();
            anyTrack = true;
        } else if (is("INDEX")) {
            if (!track)
                return bad(QStringLiteral("INDEX outside a TRACK"));
            QStringView rest = line.rest;
            const int64_t index = number(nextWord(rest), 2);
            const int64_t time = cueTime(nextWord(rest));
            if (index < 0)
                return bad(QStringLiteral("INDEX needs a number"));
            if (time < 0)
                return bad(QStringLiteral("INDEX %1 has no time MM:SS:FF").arg(index));
            // Only INDEX 01 splits tracks: 00 marks a gap that belongs to the
            // track before, 02 and above are points inside the track.
            if (index == 1) {
                if (track->index01 >= 0)
                    return bad(QStringLiteral("track %1 has two INDEX 01").arg(track->number));
                track->index01 = time;
            }
        }
        // REM, FLAGS, ISRC, CATALOG, SONGWRITER, CDTEXTFILE, PREGAP and
        // POSTGAP (silence that is not in the file) change no sample, and
        // unknown words are left alone as other readers do.
    }
    if (!checkSheet(sheet, why))
        return std::nullopt;
    return sheet;
}

namespace {

// The entry of dir whose name equals name in some letter case, or empty.
QString findIgnoringCase(const QDir &dir, const QString &name)
{
    const QString exact = dir.filePath(name);
    if (QFileInfo(exact).isFile())
        return exact;
    const QStringList entries = dir.entryList(QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &entry : entries)
        if (entry.compare(name, Qt::CaseInsensitive) == 0)
            return dir.filePath(entry);
    return {};
}

// name, else the same stem with ".ape", in dir.
QString findImage(const QDir &dir, const QString &name)
{
    if (name.isEmpty() || name == u"." || name == u"..")
        return {};
    QString found = findIgnoringCase(dir, name);
    if (found.isEmpty()) {
        const qsizetype dot = name.lastIndexOf(u'.');
        const QString stem = dot > 0 ? name.first(dot) : name;
        found = findIgnoringCase(dir, stem + QStringLiteral(".ape"));
    }
    return found;
}

} // namespace

QString resolveFile(const QString &sheetDir, const QString &name)
{
    QString path = name;
    path.replace(u'\\', u'/');
    const bool drive = path.size() >= 2 && path[1] == u':' && path[0].isLetter();
    const bool absolute = drive || path.startsWith(u'/');
    const qsizetype slash = path.lastIndexOf(u'/');
    const QString baseName = slash < 0 ? path : path.sliced(slash + 1);
    const QDir dir(sheetDir);
    QString found;
    if (!absolute && slash >= 0) {
        const QString folder = path.first(slash);
        found = findImage(QDir(dir.filePath(folder)), baseName);
    }
    // An absolute path from the machine the sheet was made on, or a folder
    // that is not kept: the image is usually beside the sheet.
    if (found.isEmpty())
        found = findImage(dir, baseName);
    return found.isEmpty() ? QString() : QDir::cleanPath(QFileInfo(found).absoluteFilePath());
}

AlbumLoad layOutSheet(const Sheet &sheet, const QStringList &paths, const ImageProbe &probe)
{
    AlbumLoad load;
    const auto refuse = [&](const QString &why) {
        load.tracks.clear();
        load.refused = true;
        load.why = why;
        return load;
    };
    bool anyAudio = false;
    for (const File &file : sheet.files)
        for (const Track &track : file.tracks)
            anyAudio = anyAudio || track.audio;
    if (!anyAudio)
        return refuse(QStringLiteral("the sheet has no audio track"));

    for (qsizetype f = 0; f < sheet.files.size(); ++f) {
        const File &file = sheet.files[f];
        const auto firstAudio = std::find_if(file.tracks.begin(), file.tracks.end(),
                                             [](const Track &t) { return t.audio; });
        if (firstAudio == file.tracks.end())
            continue; // a data file gives no row
        const QString path = f < paths.size() ? paths[f] : QString();
        std::optional<ImageFormat> format;
        if (!path.isEmpty())
            format = probe(path);
        if (!format || format->rate <= 0 || format->frames <= 0) {
            const QString why = path.isEmpty()
                                    ? QStringLiteral("\"%1\" cannot be found").arg(file.name)
                                    : QStringLiteral("\"%1\" cannot be read").arg(path);
            if (load.tracks.isEmpty())
                return refuse(why);
            load.cutShort = true;
            load.why = why;
            return load;
        }
        const auto row = [&](int number, int64_t first, int64_t end) {
            AlbumTrack t;
            t.imagePath = path;
            t.number = number;
            t.album = sheet.title;
            t.albumPerformer = sheet.performer;
            t.firstFrame = first;
            t.endFrame = end;
            t.imageFrames = format->frames;
            t.rate = format->rate;
            return t;
        };
        // Audio before the first track's INDEX 01 (hidden track-one audio)
        // is a row of its own.
        if (firstAudio == file.tracks.begin() && firstAudio->index01 > 0) {
            const int64_t end = sampleOfCdFrames(firstAudio->index01, format->rate);
            if (end < format->frames)
                load.tracks.append(row(0, 0, end));
        }
        for (qsizetype i = 0; i < file.tracks.size(); ++i) {
            const Track &track = file.tracks[i];
            if (!track.audio)
                continue;
            const int64_t first = sampleOfCdFrames(track.index01, format->rate);
            if (first >= format->frames) {
                load.cutShort = true;
                load.why = QStringLiteral("track %1 starts beyond the end of \"%2\"")
                               .arg(track.number)
                               .arg(path);
                if (load.tracks.isEmpty())
                    load.refused = true;
                return load;
            }
            int64_t end = format->frames;
            for (qsizetype k = i + 1; k < file.tracks.size(); ++k)
                if (file.tracks[k].index01 >= 0) {
                    end = std::min(end, sampleOfCdFrames(file.tracks[k].index01, format->rate));
                    break;
                }
            AlbumTrack t = row(track.number, first, end);
            t.title = track.title;
            t.performer = track.performer.isEmpty() ? sheet.performer : track.performer;
            load.tracks.append(std::move(t));
        }
    }
    return load;
}

std::optional<ImageFormat> probeImage(const QString &apePath)
{
    std::string error;
    const auto decoder =
        audio::openDecoder(std::filesystem::path(QFile::encodeName(apePath).toStdString()), &error);
    if (!decoder || decoder->format().sampleRate <= 0)
        return std::nullopt;
    return ImageFormat{decoder->format().sampleRate, decoder->totalFrames()};
}

AlbumLoad loadSheetFile(const QString &sheetPath, const ImageProbe &probe)
{
    AlbumLoad load;
    QFile file(sheetPath);
    if (!file.open(QIODevice::ReadOnly)) {
        load.refused = true;
        load.why = file.errorString();
        return load;
    }
    // One byte more than is accepted, so that an endless file (a device, a
    // pipe) is refused as too large rather than read for ever.
    const QByteArray bytes = file.read(kMaxSheetBytes + 1);
    const std::optional<Sheet> sheet = parseSheet(bytes, &load.why);
    if (!sheet) {
        load.refused = true;
        return load;
    }
    const QString dir = QFileInfo(sheetPath).absolutePath();
    QStringList paths;
    bool anyFound = false;
    for (const File &f : sheet->files) {
        paths.append(resolveFile(dir, f.name));
        anyFound = anyFound || !paths.last().isEmpty();
    }
    if (!anyFound) {
        load.refused = true;
        load.why = QStringLiteral("no file the sheet names can be found");
        return load;
    }
    return layOutSheet(*sheet, paths, probe);
}

AlbumLoad loadEmbeddedSheet(const QString &apePath, const QString &sheetText,
                            const ImageProbe &probe)
{
    AlbumLoad load;
    std::optional<Sheet> sheet = parseSheet(sheetText.toUtf8(), &load.why);
    if (!sheet) {
        load.refused = true;
        return load;
    }
    // The tag's sheet describes its own file: its FILE lines name what the
    // image was ripped to, and several of them are one image here.
    Sheet merged = *sheet;
    merged.files.clear();
    merged.files.append(File{apePath, {}});
    for (const File &f : sheet->files)
        merged.files.first().tracks.append(f.tracks);
    if (sheet->files.size() > 1) {
        int64_t last = -1;
        for (const Track &t : merged.files.first().tracks) {
            if (t.index01 < 0)
                continue;
            if (t.index01 <= last) {
                load.refused = true;
                load.why = QStringLiteral("the times go backwards at track %1").arg(t.number);
                return load;
            }
            last = t.index01;
        }
    }
    return layOutSheet(merged, {apePath}, probe);
}

} // namespace cue
