#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The CUE sheet an album image carries in its APEv2 tag (the item
// "Cuesheet", any letter case), or nothing when the file has no such item or
// cannot be read.
std::optional<QString> readEmbeddedCueSheet(const QString &apePath);

// What the desktop's media controls show of a file: its APEv2 tag first,
// then an ID3v2 tag before the audio and an ID3v1 tag at the end for what
// the APEv2 one lacks. Empty texts and zero numbers are what no tag holds.
struct TrackTags
{
    QString title;
    QString artist;
    QString album;
    QString albumArtist;
    QString genre;
    int trackNumber = 0;
    int discNumber = 0;
    int year = 0;
    // The picture itself is read when it is shown (readFrontCover).
    bool hasFrontCover = false;
};

// Nothing for a file TagLib cannot read.
TrackTags readTrackTags(const QString &apePath);

// The picture of the file's front cover, as readTrackTags found it: the APEv2
// binary item "Cover Art (Front)" (a file name, a NUL, the picture's bytes)
// or else an ID3v2 front cover; none when neither holds an image.
std::optional<QByteArray> readFrontCover(const QString &apePath);

// The usual file name suffix of a picture in one of the formats covers come
// in, known by its first bytes; empty for anything else, which the media
// controls are not given.
QString pictureSuffix(const QByteArray &bytes);
