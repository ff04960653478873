// The list's rows, and the Open and Delete commands of the main window.
#include "logic/FileSize.h"
#include "window/PlayerForms.h"

#include <QFileInfo>
#include <QHash>
#include <QHeaderView>
#include <QTreeView>
#include <functional>
#include <utility>

namespace {

// The rows an Open command has made and the row it will select, put into the
// list in one go. Adding and selecting row by row costs the view a layout of
// the whole list per row. Everything pending is applied before anything can
// show the list (a message box) and on every way out of the command.
class PendingRows
{
public:
    PendingRows(PlaylistModel &playlist, std::function<void(int)> select)
        : playlist_(playlist), select_(std::move(select))
    {
    }
    ~PendingRows() { apply(); }
    PendingRows(const PendingRows &) = delete;
    PendingRows &operator=(const PendingRows &) = delete;

    // Returns the index the row will have in the list.
    int add(PlaylistModel::Row row)
    {
        rows_.append(std::move(row));
        selected_ = playlist_.rowCount() + static_cast<int>(rows_.size()) - 1;
        return selected_;
    }
    void select(int row) { selected_ = row; }
    void apply()
    {
        if (!rows_.isEmpty())
            playlist_.append(std::exchange(rows_, {}));
        if (const int row = std::exchange(selected_, -1); row >= 0)
            select_(row);
    }

private:
    PlaylistModel &playlist_;
    std::function<void(int)> select_;
    QList<PlaylistModel::Row> rows_;
    int selected_ = -1;
};

} // namespace

int TPlayerForm::SelectedRow() const
{
    const QModelIndexList rows = ListView->selectionModel()->selectedRows();
    int lowest = -1;
    for (const QModelIndex &index : rows)
        if (lowest < 0 || index.row() < lowest)
            lowest = index.row();
    return lowest;
}

int TPlayerForm::SelectedRowOrAsk()
{
    const int row = SelectedRow();
    if (row < 0)
        FPrompts.message(MessageKind::Information, QStringLiteral("Please select one file."));
    return row;
}

const PlaylistModel::Row *TPlayerForm::RowAt(int64_t index) const
{
    return FPlaylist->rowAt(index);
}

int TPlayerForm::RowCount() const
{
    return FPlaylist->rowCount();
}

audio::StreamHandle TPlayerForm::RowStream(int64_t index) const
{
    const PlaylistModel::Row *row = RowAt(index);
    return row ? row->stream : 0;
}

void TPlayerForm::SelectRow(int index)
{
    // Selection only: neither the focus mark nor the scroll position moves.
    ListView->selectionModel()->select(FPlaylist->index(index, 0),
                                       QItemSelectionModel::ClearAndSelect |
                                           QItemSelectionModel::Rows);
}

QRect TPlayerForm::RowRect(int index) const
{
    const QHeaderView *header = ListView->header();
    const int first = header->logicalIndexAt(-header->offset());
    const int last = header->logicalIndexAt(header->length() - header->offset() - 1);
    return ListView->visualRect(FPlaylist->index(index, first)) |
           ListView->visualRect(FPlaylist->index(index, last));
}

void TPlayerForm::OpenToolButtonClick(QObject *)
{
    if (const std::optional<QStringList> paths = FPrompts.openFiles(this))
        OpenFiles(*paths);
}

void TPlayerForm::OpenFiles(const QStringList &paths)
{
    // Also reached from outside any handler (the command line): a failure
    // must end here, in the error report, as a command's does.
    Guarded([&] {
        // The last row of each path, pending ones included, so a duplicate is
        // found without a scan of the list per path. A message box lets the
        // user change the list, so the index is rebuilt after one.
        QHash<QString, int> lastRowOf;
        const auto indexRows = [&] {
            lastRowOf.clear();
            for (int i = 0; i < RowCount(); ++i)
                lastRowOf.insert(RowAt(i)->path, i);
        };
        indexRows();
        PendingRows pending(*FPlaylist, [this](int row) { SelectRow(row); });
        for (const QString &path : paths) {
            // Rows of the same path are highlighted; the file is still added.
            // With single selection the last such row ends up selected.
            if (const auto same = lastRowOf.constFind(path); same != lastRowOf.constEnd())
                pending.select(*same);
            if (!QFileInfo(path).isFile())
                continue;
            const audio::StreamHandle stream =
                FEngine.ApeStreamCreateFile(false, path.utf16(), 0, 0, audio::kFlagUnicodePath);
            if (stream == 0) {
                pending.apply();
                FPrompts.message(MessageKind::Error,
                                 QStringLiteral("Error load the \"%1\".").arg(path));
                indexRows();
                continue;
            }
            lastRowOf.insert(path, pending.add({path, FormatFileSize(FileSizeOf(path)), stream}));
        }
    });
}

void TPlayerForm::DeleteToolButtonClick(QObject *sender)
{
    int row = SelectedRowOrAsk();
    if (row < 0)
        return;
    if (row == FCurrentIndex)
        StopToolButtonClick(sender);
    // Stop needs no wait here (a row is selected), but re-read all the same.
    row = SelectedRow();
    if (row < 0)
        return;
    FEngine.StreamFree(RowStream(row));
    FPlaylist->removeAt(row);
    // The current row moves up with the rows after the deleted one.
    if (FCurrentIndex > row)
        --FCurrentIndex;
    if (const std::optional<int> neighbour = FPlaylist->neighbourOfRemoved(row))
        SelectRow(*neighbour);
}
