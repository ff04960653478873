// libFuzzer target over the CUE sheet reader: the input bytes are a sheet,
// parsed as a .cue file's bytes, then laid out over images whose rate and
// length a fake probe derives from each FILE name, and read once more as the
// text of an embedded sheet. Rows that do not tile their image in order are a
// finding, like a crash.
#include "logic/CueSheet.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <cstdlib>

using namespace cue;

namespace {

std::optional<ImageFormat> fakeProbe(const QString &path)
{
    const size_t h = qHash(path);
    if (h % 7 == 0)
        return std::nullopt; // an image that cannot be read
    static constexpr int kRates[] = {44100, 48000, 22050, 96000, 32000, 8000};
    return ImageFormat{kRates[h % 6], int64_t(h % 1000000007) + 1};
}

void checkRows(const AlbumLoad &load)
{
    if (load.refused && !load.tracks.isEmpty())
        abort();
    QString image;
    int64_t end = 0;
    for (const AlbumTrack &t : load.tracks) {
        if (t.imagePath != image) {
            image = t.imagePath;
            end = 0;
        }
        if (t.firstFrame < end || t.firstFrame >= t.endFrame || t.endFrame > t.imageFrames ||
            t.rate <= 0)
            abort();
        end = t.endFrame;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const std::optional<Sheet> sheet = parseSheet(bytes)) {
        QStringList paths;
        // Each FILE an image of its own, even when two name the same one,
        // so that the rows of each must tile it.
        for (const File &file : sheet->files)
            paths.append(QString::number(paths.size()) + u'/' + file.name);
        checkRows(layOutSheet(*sheet, paths, fakeProbe));
    }
    checkRows(loadEmbeddedSheet(QStringLiteral("image.ape"), QString::fromUtf8(bytes), fakeProbe));
    return 0;
}
