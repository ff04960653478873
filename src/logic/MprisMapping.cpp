#include "logic/MprisMapping.h"

#include <QDateTime>
#include <QFileInfo>
#include <QStringList>
#include <QUrl>
#include <algorithm>

namespace mpris {

namespace {
const QString kTrackPrefix = QStringLiteral("/org/sorvano/Sorvano/Track/");
constexpr int64_t kMicrosecondsPerSecond = 1000000;
} // namespace

std::optional<int> neighbourRow(int64_t from, int count, int step)
{
    if (count <= 0)
        return std::nullopt;
    if (from < 0 || from >= count)
        return step > 0 ? 0 : count - 1;
    return static_cast<int>(((from + step) % count + count) % count);
}

QString trackId(audio::StreamHandle stream)
{
    return kTrackPrefix + QString::number(stream);
}

std::optional<audio::StreamHandle> streamOfTrackId(const QString &path)
{
    if (!path.startsWith(kTrackPrefix))
        return std::nullopt;
    bool ok = false;
    const audio::StreamHandle stream = path.mid(kTrackPrefix.size()).toUInt(&ok);
    if (!ok || trackId(stream) != path)
        return std::nullopt;
    return stream;
}

int64_t microseconds(int64_t bytes, int64_t bytesPerFrame, int64_t rate)
{
    if (bytes <= 0 || bytesPerFrame <= 0 || rate <= 0)
        return 0;
    // Whole frames first: a frame at 8 kHz is 125 us, at 44.1 kHz 22.7 us.
    const int64_t frames = bytes / bytesPerFrame;
    return frames / rate * kMicrosecondsPerSecond + frames % rate * kMicrosecondsPerSecond / rate;
}

int64_t bytePosition(int64_t microseconds, int64_t bytesPerFrame, int64_t rate, int64_t lengthBytes)
{
    if (microseconds <= 0 || bytesPerFrame <= 0 || rate <= 0 || lengthBytes <= 0)
        return 0;
    const int64_t lengthFrames = lengthBytes / bytesPerFrame;
    const int64_t seconds = microseconds / kMicrosecondsPerSecond;
    if (seconds > lengthFrames / rate)
        return lengthFrames * bytesPerFrame;
    const int64_t rest = microseconds % kMicrosecondsPerSecond;
    const int64_t frames =
        seconds * rate + (rest * rate + kMicrosecondsPerSecond / 2) / kMicrosecondsPerSecond;
    return std::min(frames, lengthFrames) * bytesPerFrame;
}

QVariantMap rowMetadata(const PlaylistModel::Row &row, int64_t lengthBytes, int64_t bytesPerFrame,
                        int64_t rate)
{
    QVariantMap map{
        {QStringLiteral("xesam:url"), QString::fromUtf8(QUrl::fromLocalFile(row.path).toEncoded())},
    };
    if (!row.track) {
        map.insert(QStringLiteral("mpris:length"),
                   qlonglong(microseconds(lengthBytes, bytesPerFrame, rate)));
        // The file name, unless the tags have a title.
        map.insert(QStringLiteral("xesam:title"), QFileInfo(row.path).completeBaseName());
        map.insert(tagMetadata(row.tags));
        return map;
    }
    const cue::AlbumTrack &track = *row.track;
    const int64_t frames = track.endFrame - track.firstFrame;
    if (track.rate > 0)
        map.insert(
            QStringLiteral("mpris:length"),
            qlonglong((static_cast<__int128>(frames) * kMicrosecondsPerSecond + track.rate / 2) /
                      track.rate));
    // A track the sheet gives no title (the audio before the first track
    // among them) is still named by something the controls can show.
    map.insert(QStringLiteral("xesam:title"),
               track.title.isEmpty()
                   ? QStringLiteral("Track %1").arg(track.number, 2, 10, QLatin1Char('0'))
                   : track.title);
    if (!track.performer.isEmpty())
        map.insert(QStringLiteral("xesam:artist"), QStringList{track.performer});
    if (!track.album.isEmpty())
        map.insert(QStringLiteral("xesam:album"), track.album);
    if (!track.albumPerformer.isEmpty())
        map.insert(QStringLiteral("xesam:albumArtist"), QStringList{track.albumPerformer});
    map.insert(QStringLiteral("xesam:trackNumber"), track.number);
    // What the sheet lacks, from the image's tags; never their title or
    // number, which name the album or some track of it, not this one.
    TrackTags image = row.tags;
    image.title.clear();
    image.trackNumber = 0;
    const QVariantMap fromImage = tagMetadata(image);
    for (auto it = fromImage.cbegin(); it != fromImage.cend(); ++it)
        if (!map.contains(it.key()))
            map.insert(it.key(), it.value());
    return map;
}

QString loopStatus(bool loopTicked)
{
    return loopTicked ? QStringLiteral("Playlist") : QStringLiteral("None");
}

std::optional<bool> loopTicked(const QString &loopStatus)
{
    if (loopStatus == QLatin1String("None"))
        return false;
    if (loopStatus == QLatin1String("Playlist") || loopStatus == QLatin1String("Track"))
        return true;
    return std::nullopt;
}

QVariantMap tagMetadata(const TrackTags &tags)
{
    QVariantMap metadata;
    const auto text = [&](const char *key, const QString &value) {
        if (!value.isEmpty())
            metadata.insert(QLatin1String(key), value);
    };
    // The interface gives these as lists, for files of several artists.
    const auto list = [&](const char *key, const QString &value) {
        if (!value.isEmpty())
            metadata.insert(QLatin1String(key), QStringList{value});
    };
    const auto number = [&](const char *key, int value) {
        if (value > 0)
            metadata.insert(QLatin1String(key), value);
    };
    text("xesam:title", tags.title);
    list("xesam:artist", tags.artist);
    text("xesam:album", tags.album);
    list("xesam:albumArtist", tags.albumArtist);
    list("xesam:genre", tags.genre);
    number("xesam:trackNumber", tags.trackNumber);
    number("xesam:discNumber", tags.discNumber);
    if (tags.year > 0 && tags.year <= 9999)
        metadata.insert(
            QStringLiteral("xesam:contentCreated"),
            QDateTime(QDate(tags.year, 1, 1), QTime(0, 0), Qt::UTC).toString(Qt::ISODate));
    return metadata;
}

} // namespace mpris
