// The Decode command: the TPlayerForm handlers of WAV export.
#include "app/PlayerForms.h"
#include "export/DecodeLayout.h"
#include "export/WavWriter.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QTreeWidgetItem>
#include <exception>

namespace {

constexpr uint32_t kDecodeStreamFlags = audio::kFlagUnicodePath | audio::kFlagDecodeOnly;

void ProcessPendingEvents()
{
    QCoreApplication::processEvents();
}

} // namespace

void TPlayerForm::DecodeToolButtonClick(QObject *sender)
{
    Guarded([&] {
        QTreeWidgetItem *row = SelectedRowOrAsk();
        if (!row)
            return;
        const QString source = row->text(0);
        const int64_t rowIndex = RowIndex(row);
        const std::optional<QString> chosen = FPrompts.saveFile(this, ProposedWavPath(source));
        if (!chosen)
            return;
        const QString destination = *chosen;

        const QFileInfo existing(destination);
        const bool replace = existing.exists() && !existing.isDir();
        if (replace &&
            FPrompts.message(MessageKind::Query,
                             QStringLiteral("The file \"%1\" already exists. Do you want to "
                                            "overwrite?")
                                 .arg(destination)) != Answer::Yes)
            return;

        // Opened before the old file goes, so a source that cannot be decoded
        // never costs the user an existing file without giving a new one.
        const audio::StreamHandle stream =
            FEngine.ApeStreamCreateFile(false, source.utf16(), 0, 0, kDecodeStreamFlags);
        if (stream == 0) {
            FPrompts.message(MessageKind::Error,
                             QStringLiteral("Error load the \"%1\".").arg(source));
            return;
        }
        try {
            if (replace && !QFile::remove(destination))
                FPrompts.message(MessageKind::Error,
                                 QStringLiteral("Cannot delete the file \"%1\".").arg(destination));
            if (rowIndex == FCurrentIndex)
                StopToolButtonClick(sender);
        } catch (...) {
            FEngine.StreamFree(stream);
            throw;
        }
        DecodeStream(stream, source, destination);
    });
}

void TPlayerForm::DecodeFile(const QString &sourcePath, const QString &destinationPath)
{
    const audio::StreamHandle stream =
        FEngine.ApeStreamCreateFile(false, sourcePath.utf16(), 0, 0, kDecodeStreamFlags);
    if (stream == 0) {
        FPrompts.message(MessageKind::Error,
                         QStringLiteral("Error load the \"%1\".").arg(sourcePath));
        return;
    }
    DecodeStream(stream, sourcePath, destinationPath);
}

void TPlayerForm::DecodeStream(audio::StreamHandle stream, const QString &sourcePath,
                               const QString &destinationPath)
{
    std::exception_ptr failure;
    try {
        DecodePanel->move(DecodePanelPosition(frameGeometry().size(), DecodePanel->size()));
        DecodePanel->raise();
        DecodePanel->show();
        DecodePanel->setText(QStringLiteral("Opening file ..."));
        SetLockedOut(true);
        ProcessPendingEvents();

        WavProgress progress;
        progress.showText = [this](const QString &text) { DecodePanel->setText(text); };
        progress.processEvents = ProcessPendingEvents;
        WriteWavFile(FEngine, stream, sourcePath, destinationPath, progress);
    } catch (...) {
        failure = std::current_exception();
    }

    // The closing steps run on every path, so the window is never left locked.
    DecodePanel->setText(QStringLiteral("Closing file ..."));
    ProcessPendingEvents();
    FEngine.StreamFree(stream);
    if (!failure) {
        DecodePanel->setText(QStringLiteral("Done."));
        ProcessPendingEvents();
    }
    DecodePanel->hide();
    SetLockedOut(false);
    ProcessPendingEvents();

    if (failure)
        std::rethrow_exception(failure);
    FPrompts.message(MessageKind::Information,
                     QStringLiteral("Done, the output file is \"%1\".").arg(destinationPath));
}
