#pragma once

#include "audio/AudioEngine.h"
#include "logic/PlaylistModel.h"

#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <optional>

// How the desktop's media controls (MPRIS) and the player name the same
// things: rows, streams, times and the Loop box.
namespace mpris {

// The row Next (step 1) or Previous (step -1) plays: the neighbour of row
// `from`, wrapping at both ends; with no such row (-1), the first or the last
// row. None when there are no rows.
std::optional<int> neighbourRow(int64_t from, int count, int step);

// The object path that names a row's stream to the media controls. Streams
// are never reused, so it changes whenever the row or its stream does.
QString trackId(audio::StreamHandle stream);
// The stream a track id names; none for a path trackId never made.
std::optional<audio::StreamHandle> streamOfTrackId(const QString &path);

// Decoded PCM of bytesPerFrame bytes a sample frame at rate Hz: the time of a
// byte position in microseconds, and the byte position of a time, on a whole
// sample frame (the nearest) and clamped into 0..lengthBytes.
int64_t microseconds(int64_t bytes, int64_t bytesPerFrame, int64_t rate);
int64_t bytePosition(int64_t microseconds, int64_t bytesPerFrame, int64_t rate,
                     int64_t lengthBytes);

// What the media controls show of a row, all but its track id (a bus type)
// and its cover: mpris:length, xesam:url, and for a file its tags with its
// base name as the title when they have none; for a track of an album image
// its own length (its frames in microseconds, to the nearest), the sheet's
// title, performer, album and album performer, the track number, and the
// image's tags for what the sheet lacks (album, year, ...). lengthBytes,
// bytesPerFrame and rate are the row's stream's.
QVariantMap rowMetadata(const PlaylistModel::Row &row, int64_t lengthBytes, int64_t bytesPerFrame,
                        int64_t rate);

// LoopStatus mirrors the Loop box; "Track" has no box of its own and ticks it
// too. None for a value the interface does not define.
QString loopStatus(bool loopTicked);
std::optional<bool> loopTicked(const QString &loopStatus);

// What the tags hold, as the interface's metadata names it: xesam:title,
// xesam:artist and the rest, each only when the tags hold it. The year is a
// date and time (xesam:contentCreated): its first moment, in UTC.
QVariantMap tagMetadata(const TrackTags &tags);

} // namespace mpris
