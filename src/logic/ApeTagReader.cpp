#include "logic/ApeTagReader.h"

#include <QFile>
#include <taglib/apefile.h>
#include <taglib/apeitem.h>
#include <taglib/apetag.h>

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
