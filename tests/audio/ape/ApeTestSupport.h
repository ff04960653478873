#pragma once

#include "audio/ape/ApeFormat.h"

#include <QByteArray>
#include <algorithm>
#include <cstring>

// The header of an APE file held in memory.
inline ape::HeaderReader headerOf(const QByteArray &file)
{
    return ape::HeaderReader(file.size(), [&file](int64_t at, void *buf, size_t n) {
        const size_t got = std::min<size_t>(n, size_t(file.size() - at));
        std::memcpy(buf, file.constData() + at, got);
        return got;
    });
}
