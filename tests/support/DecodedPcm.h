#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

// The frames [first, end) of a 16-bit stereo file as the decoder gives them
// (end -1: to the end of the file), the samples the sound server must get;
// empty for any other format or when they do not all decode.
QByteArray decodedStereo16(const QString &path, int64_t first = 0, int64_t end = -1);
