// The Open and Delete commands of the main window.
#include "window/PlayerForms.h"
#include "logic/FileSize.h"

#include <QFileInfo>
#include <QHash>
#include <QTreeWidget>
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
    PendingRows(QTreeWidget *list, std::function<void(QTreeWidgetItem *)> select)
        : list_(list), select_(std::move(select))
    {
    }
    ~PendingRows() { apply(); }
    PendingRows(const PendingRows &) = delete;
    PendingRows &operator=(const PendingRows &) = delete;

    void add(QTreeWidgetItem *row)
    {
        rows_.append(row);
        selected_ = row;
    }
    void select(QTreeWidgetItem *row) { selected_ = row; }
    void apply()
    {
        if (!rows_.isEmpty())
            list_->addTopLevelItems(std::exchange(rows_, {}));
        if (QTreeWidgetItem *row = std::exchange(selected_, nullptr))
            select_(row);
    }

private:
    QTreeWidget *list_;
    std::function<void(QTreeWidgetItem *)> select_;
    QList<QTreeWidgetItem *> rows_;
    QTreeWidgetItem *selected_ = nullptr;
};

} // namespace

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
        // The last row of each path, so a duplicate is found without a scan of
        // the list per path. A message box lets the user change the list, so the
        // index is rebuilt after one.
        QHash<QString, QTreeWidgetItem *> lastRowOf;
        const auto indexRows = [&] {
            lastRowOf.clear();
            for (int i = 0; i < RowCount(); ++i)
                lastRowOf.insert(RowAt(i)->text(0), RowAt(i));
        };
        indexRows();
        PendingRows pending(ListView, [this](QTreeWidgetItem *row) { SelectRow(row); });
        for (const QString &path : paths) {
            // Rows of the same path are highlighted; the file is still added.
            // With single selection the last such row ends up selected.
            if (QTreeWidgetItem *same = lastRowOf.value(path))
                pending.select(same);
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
            auto *row = new QTreeWidgetItem({path, FormatFileSize(FileSizeOf(path))});
            row->setData(0, Qt::UserRole, QVariant::fromValue(stream));
            pending.add(row);
            lastRowOf.insert(path, row);
        }
    });
}

void TPlayerForm::DeleteToolButtonClick(QObject *sender)
{
    QTreeWidgetItem *row = SelectedRowOrAsk();
    if (!row)
        return;
    if (static_cast<int64_t>(RowIndex(row)) == FCurrentIndex)
        StopToolButtonClick(sender);
    // Stop needs no wait here (a row is selected), but re-read all the same.
    row = SelectedRow();
    if (!row)
        return;
    const int index = RowIndex(row);
    FEngine.StreamFree(RowStream(row));
    delete ListView->takeTopLevelItem(index);
    // The current row moves up with the rows after the deleted one.
    if (FCurrentIndex > index)
        --FCurrentIndex;
    if (QTreeWidgetItem *neighbour = RowAt(std::max(index - 1, 0)))
        SelectRow(neighbour);
}
