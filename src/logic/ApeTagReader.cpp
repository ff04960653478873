#include "logic/ApeTagReader.h"

#include "logic/CueSheet.h"

#include <QFile>
#include <QHash>
#include <algorithm>
#include <taglib/apefile.h>
#include <taglib/apefooter.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/tpropertymap.h>

std::optional<QString> readEmbeddedCueSheet(const QString &apePath)
{
    const QByteArray name = QFile::encodeName(apePath);
    // The audio properties are not needed, and reading them walks the header.
    TagLib::APE::File file(name.constData(), false);
    if (!file.isValid() || !file.hasAPETag())
        return std::nullopt;
    const TagLib::APE::Tag *tag = file.APETag(false);
    if (!tag)
        return std::nullopt;
    // TagLib keeps the keys in upper case, so this matches "Cuesheet" and
    // "CUESHEET" alike.
    const auto &items = tag->itemListMap();
    const auto it = items.find("CUESHEET");
    if (it == items.end() || it->second.type() != TagLib::APE::Item::Text)
        return std::nullopt;
    const QString text = QString::fromStdString(it->second.toString().to8Bit(true));
    if (text.trimmed().isEmpty())
        return std::nullopt;
    return text;
}

namespace {

QString fromTagLib(const TagLib::String &text)
{
    return QString::fromStdString(text.to8Bit(true)).trimmed();
}

// "3", "03" and "3/12" alike: the number the text begins with; 0 for none.
int leadingNumber(const QString &text)
{
    qsizetype digits = 0;
    const QString trimmed = text.trimmed();
    while (digits < trimmed.size() && digits < 9 && trimmed.at(digits).isDigit())
        ++digits;
    return trimmed.left(digits).toInt();
}

// Older taggers wrote APEv2 text in the system's code page although the
// format says UTF-8. TagLib turns such a value into an empty text, so the
// values of text items are read again here, as bytes, each item parsed by
// TagLib as a binary one (which it keeps as it is). Keys in upper case, as
// TagLib keeps them.
QHash<QByteArray, QByteArray> rawTextItems(TagLib::APE::File &file, const TagLib::APE::Tag &tag)
{
    QHash<QByteArray, QByteArray> raw;
    const TagLib::APE::Footer &footer = *tag.footer();
    const long footerSize = TagLib::APE::Footer::size();
    // Where TagLib looks for the footer: last in the file, or before ID3v1.
    const long footerAt = file.length() - (file.hasID3v1Tag() ? 128 : 0) - footerSize;
    const long itemsAt = footerAt + footerSize - long(footer.tagSize());
    if (itemsAt < 0 || footerAt < itemsAt)
        return raw;
    file.seek(footerAt);
    if (file.readBlock(8) != TagLib::APE::Footer::fileIdentifier())
        return raw;
    file.seek(itemsAt);
    const TagLib::ByteVector items = file.readBlock(static_cast<unsigned long>(footerAt - itemsAt));
    // A value's length, its flags, a key of at most 255 characters and a NUL.
    constexpr unsigned kMostBeforeValue = 8 + 256;
    unsigned at = 0;
    for (unsigned i = 0; i < footer.itemCount() && at + 11 <= items.size(); ++i) {
        const unsigned length = items.toUInt(at, false);
        TagLib::ByteVector bytes =
            items.mid(at, std::min(items.size() - at, length + kMostBeforeValue));
        const bool text = ((bytes[4] >> 1) & 3) == TagLib::APE::Item::Text;
        bytes[4] = char((bytes[4] & ~0x06) | (TagLib::APE::Item::Binary << 1));
        TagLib::APE::Item item;
        item.parse(bytes);
        if (item.binaryData().size() != length)
            break; // cut short: what follows cannot be trusted
        if (text)
            raw.insert(QByteArray::fromStdString(item.key().upper().to8Bit(false)),
                       QByteArray(item.binaryData().data(), int(length)));
        at += unsigned(item.size());
    }
    return raw;
}

// The picture after the file name and its NUL.
std::optional<QByteArray> apeCover(const TagLib::APE::Tag &tag)
{
    const auto &items = tag.itemListMap();
    const auto it = items.find("COVER ART (FRONT)");
    if (it == items.end() || it->second.type() != TagLib::APE::Item::Binary)
        return std::nullopt;
    const TagLib::ByteVector data = it->second.binaryData();
    const int nul = data.find('\0');
    if (nul < 0 || unsigned(nul) + 1 >= data.size())
        return std::nullopt;
    return QByteArray(data.data() + nul + 1, int(data.size() - unsigned(nul) - 1));
}

std::optional<QByteArray> id3v2Cover(TagLib::ID3v2::Tag &tag)
{
    for (TagLib::ID3v2::Frame *frame : tag.frameListMap()["APIC"]) {
        const auto *picture = dynamic_cast<TagLib::ID3v2::AttachedPictureFrame *>(frame);
        if (picture && picture->type() == TagLib::ID3v2::AttachedPictureFrame::FrontCover &&
            !picture->picture().isEmpty())
            return QByteArray(picture->picture().data(), int(picture->picture().size()));
    }
    return std::nullopt;
}

class TagFields
{
public:
    explicit TagFields(TrackTags &tags) : tags_(tags) {}
    // Each field is set by the first tag that holds it.
    void text(QString TrackTags::*field, const QString &value)
    {
        if ((tags_.*field).isEmpty())
            tags_.*field = value.trimmed();
    }
    void number(int TrackTags::*field, int value)
    {
        if (tags_.*field <= 0 && value > 0)
            tags_.*field = value;
    }

private:
    TrackTags &tags_;
};

void readApe(TagLib::APE::File &file, TagFields &fields)
{
    const TagLib::APE::Tag *tag = file.APETag(false);
    if (!tag)
        return;
    const auto &items = tag->itemListMap();
    std::optional<QHash<QByteArray, QByteArray>> raw;
    const auto value = [&](std::initializer_list<const char *> keys) -> QString {
        for (const char *key : keys) {
            const auto it = items.find(key);
            if (it == items.end() || it->second.type() != TagLib::APE::Item::Text)
                continue;
            const QString text = fromTagLib(it->second.toString());
            if (!text.isEmpty())
                return text;
            if (!raw)
                raw = rawTextItems(file, *tag);
            const QByteArray bytes = raw->value(key).split('\0').value(0);
            if (!bytes.isEmpty())
                return cue::decodeText(bytes).value_or(QString()).trimmed();
        }
        return {};
    };
    fields.text(&TrackTags::title, value({"TITLE"}));
    fields.text(&TrackTags::artist, value({"ARTIST"}));
    fields.text(&TrackTags::album, value({"ALBUM"}));
    fields.text(&TrackTags::albumArtist, value({"ALBUM ARTIST", "ALBUMARTIST"}));
    fields.text(&TrackTags::genre, value({"GENRE"}));
    fields.number(&TrackTags::trackNumber, leadingNumber(value({"TRACK"})));
    fields.number(&TrackTags::discNumber, leadingNumber(value({"DISC", "DISCNUMBER"})));
    fields.number(&TrackTags::year, leadingNumber(value({"YEAR"})));
}

void readId3v2(TagLib::ID3v2::Tag &tag, TagFields &fields)
{
    const TagLib::PropertyMap properties = tag.properties();
    const auto value = [&](const char *key) -> QString {
        const auto it = properties.find(key);
        return it == properties.end() || it->second.isEmpty() ? QString()
                                                              : fromTagLib(it->second.front());
    };
    fields.text(&TrackTags::title, value("TITLE"));
    fields.text(&TrackTags::artist, value("ARTIST"));
    fields.text(&TrackTags::album, value("ALBUM"));
    fields.text(&TrackTags::albumArtist, value("ALBUMARTIST"));
    fields.text(&TrackTags::genre, value("GENRE"));
    fields.number(&TrackTags::trackNumber, leadingNumber(value("TRACKNUMBER")));
    fields.number(&TrackTags::discNumber, leadingNumber(value("DISCNUMBER")));
    fields.number(&TrackTags::year, leadingNumber(value("DATE")));
}

void readId3v1(const TagLib::ID3v1::Tag &tag, TagFields &fields)
{
    fields.text(&TrackTags::title, fromTagLib(tag.title()));
    fields.text(&TrackTags::artist, fromTagLib(tag.artist()));
    fields.text(&TrackTags::album, fromTagLib(tag.album()));
    fields.text(&TrackTags::genre, fromTagLib(tag.genre()));
    fields.number(&TrackTags::trackNumber, int(tag.track()));
    fields.number(&TrackTags::year, int(tag.year()));
}

struct TagsAndCover
{
    TrackTags tags;
    std::optional<QByteArray> cover;
};

TagsAndCover readTagsAndCover(const QString &apePath)
{
    TagsAndCover result;
    const QByteArray name = QFile::encodeName(apePath);
    TagLib::APE::File file(name.constData(), false);
    if (!file.isValid())
        return result;
    TagFields fields(result.tags);
    if (file.hasAPETag()) {
        readApe(file, fields);
        result.cover = apeCover(*file.APETag(false));
    }
    // TagLib's APE reader steps over an ID3v2 tag at the start but does not
    // read it.
    file.seek(0);
    if (file.readBlock(3) == "ID3") {
        TagLib::ID3v2::Tag id3v2(&file, 0);
        readId3v2(id3v2, fields);
        if (!result.cover)
            result.cover = id3v2Cover(id3v2);
    }
    if (file.hasID3v1Tag())
        readId3v1(*file.ID3v1Tag(false), fields);
    result.tags.hasFrontCover = result.cover.has_value();
    return result;
}

} // namespace

TrackTags readTrackTags(const QString &apePath)
{
    return readTagsAndCover(apePath).tags;
}

std::optional<QByteArray> readFrontCover(const QString &apePath)
{
    std::optional<QByteArray> cover = readTagsAndCover(apePath).cover;
    if (cover && pictureSuffix(*cover).isEmpty())
        return std::nullopt;
    return cover;
}

QString pictureSuffix(const QByteArray &bytes)
{
    if (bytes.startsWith("\xFF\xD8\xFF"))
        return QStringLiteral("jpg");
    if (bytes.startsWith("\x89PNG\r\n\x1A\n"))
        return QStringLiteral("png");
    if (bytes.startsWith("GIF8"))
        return QStringLiteral("gif");
    if (bytes.startsWith("BM"))
        return QStringLiteral("bmp");
    if (bytes.startsWith("RIFF") && bytes.mid(8, 4) == "WEBP")
        return QStringLiteral("webp");
    return {};
}
