#include "logic/MprisMapping.h"

#include <QFileInfo>
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
        map.insert(QStringLiteral("xesam:title"), QFileInfo(row.path).completeBaseName());
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
    map.insert(QStringLiteral("xesam:trackNumber"), track.number);
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

} // namespace mpris
