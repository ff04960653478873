#include "TagWriter.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <taglib/apefile.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>

namespace {

TagLib::String toTagLib(const QString &text)
{
    return TagLib::String(text.toStdString(), TagLib::String::UTF8);
}

TagLib::ByteVector toBytes(const QByteArray &bytes)
{
    return TagLib::ByteVector(bytes.constData(), static_cast<unsigned>(bytes.size()));
}

} // namespace

QByteArray testPicture(int seed)
{
    QImage image(8, 8, QImage::Format_RGB32);
    image.fill(QColor::fromHsv((seed * 97) % 360, 200, 200));
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

bool writeApeTags(const QString &path, const TagItems &items, const QByteArray &cover)
{
    const QByteArray name = QFile::encodeName(path);
    TagLib::APE::File file(name.constData(), false);
    TagLib::APE::Tag *tag = file.APETag(true);
    if (!file.isValid() || !tag)
        return false;
    for (const auto &[key, value] : items)
        tag->addValue(toTagLib(key), toTagLib(value));
    if (!cover.isEmpty())
        tag->setData("Cover Art (Front)", toBytes(QByteArray("cover.png", 10) + cover));
    return file.save();
}

bool writeRawApeText(const QString &path, const QString &key, const QByteArray &bytes)
{
    // TagLib writes text as UTF-8 only: a stand-in of the same length goes
    // in, then its bytes are replaced in the file.
    const QByteArray standIn(bytes.size(), 'x');
    if (!writeApeTags(path, {{key, QString::fromLatin1(standIn)}}))
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    QByteArray data = file.readAll();
    const qsizetype at = data.lastIndexOf(key.toLatin1() + '\0' + standIn);
    if (at < 0)
        return false;
    data.replace(at + key.size() + 1, bytes.size(), bytes);
    return file.seek(0) && file.write(data) == data.size();
}

bool writeId3v1(const QString &path, const QString &title, int year, const QString &genre)
{
    const QByteArray name = QFile::encodeName(path);
    TagLib::APE::File file(name.constData(), false);
    TagLib::ID3v1::Tag *tag = file.ID3v1Tag(true);
    if (!file.isValid() || !tag)
        return false;
    tag->setTitle(toTagLib(title));
    tag->setYear(static_cast<unsigned>(year));
    tag->setGenre(toTagLib(genre));
    // APE::File::save keeps only the tags it has, an APEv2 one included.
    return file.save();
}

bool prependId3v2(const QString &path, const TagItems &frames, const QByteArray &cover)
{
    TagLib::ID3v2::Tag tag;
    for (const auto &[id, text] : frames) {
        auto *frame = new TagLib::ID3v2::TextIdentificationFrame(id.toLatin1().constData(),
                                                                 TagLib::String::UTF8);
        frame->setText(toTagLib(text));
        tag.addFrame(frame);
    }
    if (!cover.isEmpty()) {
        auto *picture = new TagLib::ID3v2::AttachedPictureFrame;
        picture->setType(TagLib::ID3v2::AttachedPictureFrame::FrontCover);
        picture->setMimeType("image/png");
        picture->setPicture(toBytes(cover));
        tag.addFrame(picture);
    }
    const TagLib::ByteVector rendered = tag.render();
    QFile file(path);
    if (!file.open(QIODevice::ReadWrite))
        return false;
    const QByteArray audio = file.readAll();
    return file.seek(0) && file.write(QByteArray(rendered.data(), rendered.size()) + audio) ==
                               rendered.size() + audio.size();
}
