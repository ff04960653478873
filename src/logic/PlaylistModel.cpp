#include "logic/PlaylistModel.h"

#include "logic/FileSize.h"

#include <QFile>
#include <algorithm>
#include <utility>

QByteArray PlaylistModel::Row::fileName() const
{
    return nativePath.isEmpty() ? QFile::encodeName(path) : nativePath;
}

QString PlaylistModel::Row::text() const
{
    if (!track)
        return path;
    QString text =
        path + QStringLiteral(" #") + QString::number(track->number).rightJustified(2, u'0');
    if (!track->title.isEmpty())
        text += QLatin1Char(' ') + track->title;
    if (!track->performer.isEmpty())
        text += QStringLiteral(" \u2014 ") + track->performer;
    return text;
}

QString PlaylistModel::Row::key() const
{
    if (!track)
        return path;
    // A tab stands in no file name, so no file's key is a track's.
    return path + QLatin1Char('\t') + QString::number(track->number) + QLatin1Char('\t') +
           QString::number(track->firstFrame);
}

PlaylistModel::Row PlaylistModel::fileRow(const QString &path, const QString &sizeText,
                                          audio::StreamHandle stream)
{
    Row row;
    row.path = path;
    row.sizeText = sizeText;
    row.stream = stream;
    return row;
}

PlaylistModel::Row PlaylistModel::trackRow(const cue::AlbumTrack &track, int64_t imageBytes,
                                           audio::StreamHandle stream)
{
    Row row;
    row.path = track.imagePath;
    row.stream = stream;
    row.track = track;
    int64_t share = imageBytes;
    if (imageBytes > 0 && track.imageFrames > 0)
        share = static_cast<int64_t>(static_cast<__int128>(imageBytes) *
                                     (track.endFrame - track.firstFrame) / track.imageFrames);
    row.sizeText = FormatFileSize(share);
    return row;
}

int PlaylistModel::rowCount(const QModelIndex &parent) const
{
    // A table: only the invisible root has rows.
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int PlaylistModel::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant PlaylistModel::data(const QModelIndex &index, int role) const
{
    const Row *row = index.isValid() ? rowAt(index.row()) : nullptr;
    if (!row || role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case kPathColumn:
        return row->text();
    case kSizeColumn:
        return row->sizeText;
    default:
        return {};
    }
}

QVariant PlaylistModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case kPathColumn:
        return QStringLiteral("APE Files");
    case kSizeColumn:
        return QStringLiteral("File Size");
    default:
        return {};
    }
}

Qt::ItemFlags PlaylistModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

QString PlaylistModel::titleOf(const Row &row)
{
    // A track is named as its row names it, after the image's file name.
    return row.path.mid(row.path.lastIndexOf(QLatin1Char('/')) + 1) +
           row.text().mid(row.path.size());
}

const PlaylistModel::Row *PlaylistModel::rowAt(int64_t row) const
{
    if (row < 0 || row >= rows_.size())
        return nullptr;
    return &rows_[static_cast<qsizetype>(row)];
}

void PlaylistModel::append(QList<Row> rows)
{
    if (rows.isEmpty())
        return;
    const int first = rowCount();
    beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
    rows_.append(std::move(rows));
    endInsertRows();
}

void PlaylistModel::removeAt(int row)
{
    if (!rowAt(row))
        return;
    beginRemoveRows({}, row, row);
    rows_.removeAt(row);
    // An emptied list gives its buffer back: refilled, it would otherwise
    // grow a second one beside it rather than reuse the first.
    if (rows_.isEmpty())
        rows_ = QList<Row>();
    endRemoveRows();
}

std::optional<int> PlaylistModel::wrappedRow(int64_t row) const
{
    if (row >= rowCount())
        row = 0;
    if (!rowAt(row))
        return std::nullopt;
    return static_cast<int>(row);
}

std::optional<int> PlaylistModel::neighbourOfRemoved(int removed) const
{
    const int neighbour = std::max(removed - 1, 0);
    if (!rowAt(neighbour))
        return std::nullopt;
    return neighbour;
}
