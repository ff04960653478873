// The list's rows, and the Open and Delete commands of the main window.
#include "logic/ApeTagReader.h"
#include "logic/CueSheet.h"
#include "logic/FileNames.h"
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

audio::StreamHandle TPlayerForm::OpenRowStream(const PlaylistModel::Row &row, uint32_t flags)
{
    if (!row.track)
        return CreateStream(row.fileName(), flags);
    return FEngine.ApeStreamCreateRange(row.path.utf16(), flags | audio::kFlagUnicodePath,
                                        row.track->firstFrame, row.track->endFrame);
}

void TPlayerForm::OpenFiles(const QStringList &paths)
{
    QList<ResolvedPath> files;
    for (const QString &path : paths)
        files << resolveShownPath(path);
    OpenResolved(files);
}

void TPlayerForm::OpenFiles(const QList<QByteArray> &paths)
{
    QList<ResolvedPath> files;
    for (const QByteArray &path : paths)
        files << nativePath(path);
    OpenResolved(files);
}

audio::StreamHandle TPlayerForm::CreateStream(const QByteArray &path, uint32_t flags)
{
    // A name UTF-16 can spell reaches the engine as UTF-16 with its flag;
    // any other as its bytes.
    if (isUtf8(path)) {
        const QString text = displayPath(path);
        return FEngine.ApeStreamCreateFile(false, text.utf16(), 0, 0,
                                           flags | audio::kFlagUnicodePath);
    }
    return FEngine.ApeStreamCreateFile(false, path.constData(), 0, 0,
                                       flags & ~audio::kFlagUnicodePath);
}

void TPlayerForm::OpenResolved(const QList<ResolvedPath> &files)
{
    // Also reached from outside any handler (the command line): a failure
    // must end here, in the error report, as a command's does.
    Guarded([&] {
        // The last row of each file or track, pending ones included, so a
        // duplicate is found without a scan of the list per path. A message
        // box lets the user change the list, so the index is rebuilt after one.
        QHash<QString, int> lastRowOf;
        const auto indexRows = [&] {
            lastRowOf.clear();
            for (int i = 0; i < RowCount(); ++i)
                lastRowOf.insert(RowAt(i)->key(), i);
        };
        indexRows();
        PendingRows pending(*FPlaylist, [this](int row) { SelectRow(row); });
        const auto loadError = [&](const QString &path) {
            pending.apply();
            FPrompts.message(MessageKind::Error,
                             QStringLiteral("Error load the \"%1\".").arg(path));
            indexRows();
        };
        // Rows of the same file or track are highlighted; it is still added.
        // With single selection the last such row ends up selected.
        const auto selectSame = [&](const QString &key) {
            if (const auto same = lastRowOf.constFind(key); same != lastRowOf.constEnd())
                pending.select(*same);
        };
        // An album image's tracks, each a row with a stream of its own. A
        // sheet that cannot be read adds nothing; one cut short adds the
        // tracks before the cut, then says so.
        const auto addTracks = [&](const cue::AlbumLoad &load, const QString &sheet) {
            if (load.refused) {
                loadError(sheet);
                return;
            }
            QHash<QString, int64_t> imageBytes;
            QHash<QString, TrackTags> imageTags;
            for (const cue::AlbumTrack &track : load.tracks) {
                if (!imageBytes.contains(track.imagePath)) {
                    imageBytes.insert(track.imagePath, FileSizeOf(track.imagePath));
                    imageTags.insert(track.imagePath, readTrackTags(track.imagePath));
                }
                PlaylistModel::Row row =
                    PlaylistModel::trackRow(track, imageBytes.value(track.imagePath), 0);
                row.tags = imageTags.value(track.imagePath);
                selectSame(row.key());
                row.stream = OpenRowStream(row, 0);
                if (row.stream == 0) {
                    loadError(track.imagePath);
                    continue;
                }
                if (row.tags.hasFrontCover)
                    FCoverFiles.retain(row.path);
                const QString key = row.key();
                lastRowOf.insert(key, pending.add(std::move(row)));
            }
            if (load.cutShort)
                loadError(sheet);
        };
        for (const ResolvedPath &file : files) {
            const QString &path = file.shown;
            const QFileInfo info(path);
            if (info.suffix().compare(QLatin1String("cue"), Qt::CaseInsensitive) == 0) {
                if (info.isFile())
                    addTracks(cue::loadSheetFile(path, cue::probeImage), path);
                continue;
            }
            selectSame(path);
            // A dialog's name that several files show as cannot be opened:
            // which one was meant is not known.
            if (file.ambiguous) {
                loadError(path);
                continue;
            }
            if (!isFileAt(file.path))
                continue;
            // An image that carries its sheet opens as its tracks. A sheet in
            // the tag that cannot be read leaves the file as it always was:
            // one row.
            if (const std::optional<QString> sheet = readEmbeddedCueSheet(path)) {
                const cue::AlbumLoad load = cue::loadEmbeddedSheet(path, *sheet, cue::probeImage);
                if (!load.refused && !load.tracks.isEmpty()) {
                    addTracks(load, path);
                    continue;
                }
            }
            const audio::StreamHandle stream = CreateStream(file.path, 0);
            if (stream == 0) {
                loadError(path);
                continue;
            }
            PlaylistModel::Row row =
                PlaylistModel::fileRow(path, FormatFileSize(FileSizeOf(file.path)), stream);
            row.nativePath = file.path;
            // Read once, here: what the media controls show is then at hand.
            row.tags = readTrackTags(path);
            if (row.tags.hasFrontCover)
                FCoverFiles.retain(path);
            lastRowOf.insert(path, pending.add(std::move(row)));
        }
        pending.apply();
        // Rows after the last one change what the advance wraps to.
        QueueNextRow();
    });
}

void TPlayerForm::DeleteToolButtonClick(QObject *sender)
{
    FollowQueuedRow(false);
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
    if (const PlaylistModel::Row *removed = RowAt(row); removed->tags.hasFrontCover)
        FCoverFiles.release(removed->path);
    FPlaylist->removeAt(row);
    // The current row moves up with the rows after the deleted one.
    if (FCurrentIndex > row)
        --FCurrentIndex;
    if (const std::optional<int> neighbour = FPlaylist->neighbourOfRemoved(row))
        SelectRow(*neighbour);
    // Freeing the queued row dropped it; the row after the current one now
    // may be another.
    QueueNextRow();
}
