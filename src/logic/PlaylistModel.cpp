#include "logic/PlaylistModel.h"

#include <algorithm>
#include <utility>

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
        return row->path;
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
    return row.path.mid(row.path.lastIndexOf(QLatin1Char('/')) + 1);
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
