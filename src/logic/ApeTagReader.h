#pragma once

#include <QString>
#include <optional>

// The CUE sheet an album image carries in its APEv2 tag (the item
// "Cuesheet", any letter case), or nothing when the file has no such item or
// cannot be read.
std::optional<QString> readEmbeddedCueSheet(const QString &apePath);
