#pragma once

#include "logic/CueSheet.h"

#include <QByteArray>
#include <QPoint>
#include <QSize>
#include <QString>

// The name the save dialog proposes for decoding path: its extension (the
// text from the last "." with no "/" after it) replaced by ".wav", or ".wav"
// appended when it has none.
QString proposedWavPath(const QString &path);
// The name proposed for decoding a track of an album image: "NN - Title.wav"
// in the image's folder, or "NN.wav" when the track has no title. Characters
// a file name cannot hold on common file systems become "_".
QString proposedTrackWavPath(const cue::AlbumTrack &track);
QByteArray proposedWavPath(const QByteArray &path);

// Where the progress panel stands, in client coordinates: centred across the
// window's outer width and one panel height above the middle of its outer
// height. Both halvings truncate toward zero.
QPoint decodePanelPosition(QSize outerWindow, QSize panel);
