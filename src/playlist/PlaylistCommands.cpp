// The Open and Delete commands of the main window.
#include "app/PlayerForms.h"
#include "playlist/FileSize.h"

#include <QFileInfo>
#include <QTreeWidget>

void TPlayerForm::OpenToolButtonClick(QObject *)
{
    const std::optional<QStringList> paths = FPrompts.openFiles(this);
    if (!paths)
        return;
    for (const QString &path : *paths) {
        // Rows of the same path are highlighted; the file is still added.
        // With single selection the last such row ends up selected.
        for (int i = RowCount() - 1; i >= 0; --i) {
            if (RowAt(i)->text(0) == path) {
                SelectRow(RowAt(i));
                break;
            }
        }
        if (!QFileInfo(path).isFile())
            continue;
        const audio::StreamHandle stream =
            FEngine.ApeStreamCreateFile(false, path.utf16(), 0, 0, audio::kFlagUnicodePath);
        if (stream == 0) {
            FPrompts.message(MessageKind::Error,
                             QStringLiteral("Error load the \"%1\".").arg(path));
            continue;
        }
        auto *row = new QTreeWidgetItem({path, FormatFileSize(FileSizeOf(path))});
        row->setData(0, Qt::UserRole, QVariant::fromValue(stream));
        ListView->addTopLevelItem(row);
        SelectRow(row);
    }
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
