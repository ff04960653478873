// The Decode command: the TPlayerForm handlers of WAV export.
#include "logic/DecodeLayout.h"
#include "logic/FileNames.h"
#include "logic/SetAsideFile.h"
#include "logic/WavWriter.h"
#include "window/PlayerForms.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

// How the name reaches the engine is the stream opener's business.
constexpr uint32_t kDecodeStreamFlags = audio::kFlagDecodeOnly;

void processPendingEvents()
{
    QCoreApplication::processEvents();
}

} // namespace

// Decode and Verify both run with the panel up and every command locked out.
void TPlayerForm::ShowProgressPanel()
{
    DecodePanel->move(decodePanelPosition(frameGeometry().size(), DecodePanel->size()));
    DecodePanel->raise();
    DecodePanel->show();
    DecodePanel->setText(QStringLiteral("Opening file ..."));
    SetLockedOut(true);
    processPendingEvents();
}

void TPlayerForm::HideProgressPanel()
{
    DecodePanel->hide();
    SetLockedOut(false);
    processPendingEvents();
}

void TPlayerForm::DecodeToolButtonClick(QObject *sender)
{
    Guarded([&] {
        const int selected = SelectedRowOrAsk();
        if (selected < 0)
            return;
        // The dialog and the question below wait while the window stays
        // usable: rows may be deleted or played meanwhile, so after them the
        // row is known by its stream, never by its index.
        const PlaylistModel::Row row = *RowAt(selected);
        const QString source = row.path;
        const audio::StreamHandle rowStream = row.stream;
        const QByteArray proposed = row.track ? QFile::encodeName(proposedTrackWavPath(*row.track))
                                              : proposedWavPath(row.fileName());
        const std::optional<QString> chosen = FPrompts.saveFile(this, displayPath(proposed));
        if (!chosen)
            return;
        const QString destination = *chosen;
        // The dialog gives text: the proposed name as it stands keeps its
        // bytes, any other is looked up as an opened name is.
        const ResolvedPath resolved = destination == displayPath(proposed)
                                          ? nativePath(proposed)
                                          : resolveShownPath(destination);
        if (resolved.ambiguous) {
            FPrompts.message(MessageKind::Error,
                             QStringLiteral("Cannot create file \"%1\". More than one file "
                                            "shows as this name.")
                                 .arg(destination));
            return;
        }
        const QByteArray destinationFile = resolved.path;

        struct stat existing;
        const bool replace =
            ::stat(destinationFile.constData(), &existing) == 0 && !S_ISDIR(existing.st_mode);
        if (replace &&
            FPrompts.message(MessageKind::Query,
                             QStringLiteral("The file \"%1\" already exists. Do you want to "
                                            "overwrite?")
                                 .arg(destination)) != Answer::Yes)
            return;

        // Opened before the old file goes, so a source that cannot be decoded
        // never costs the user an existing file without giving a new one.
        const audio::StreamHandle stream = OpenRowStream(row, kDecodeStreamFlags);
        if (stream == 0) {
            FPrompts.message(MessageKind::Error,
                             QStringLiteral("Error load the \"%1\".").arg(source));
            return;
        }
        SetAsideFile old;
        try {
            if (replace && !old.moveAside(destinationFile))
                FPrompts.message(MessageKind::Error,
                                 QStringLiteral("Cannot delete the file \"%1\".").arg(destination));
            FollowQueuedRow(false);
            if (FCurrentIndex >= 0 && RowStream(FCurrentIndex) == rowStream)
                StopToolButtonClick(sender);
        } catch (...) {
            FEngine.StreamFree(stream);
            throw;
        }
        // On failure the old file is back before the error is reported.
        DecodeStream(stream, source, destinationFile, destination);
        old.discard();
    });
}

void TPlayerForm::DecodeFile(const QString &sourcePath, const QString &destinationPath)
{
    const audio::StreamHandle stream =
        CreateStream(QFile::encodeName(sourcePath), kDecodeStreamFlags);
    if (stream == 0) {
        FPrompts.message(MessageKind::Error,
                         QStringLiteral("Error load the \"%1\".").arg(sourcePath));
        return;
    }
    DecodeStream(stream, sourcePath, QFile::encodeName(destinationPath), destinationPath);
}

void TPlayerForm::DecodeStream(audio::StreamHandle stream, const QString &sourcePath,
                               const QByteArray &destinationPath, const QString &shownDestination)
{
    std::exception_ptr failure;
    try {
        ShowProgressPanel();
        WavProgress progress;
        progress.showText = [this](const QString &text) { DecodePanel->setText(text); };
        progress.processEvents = processPendingEvents;
        writeWavFile(FEngine, stream, sourcePath, destinationPath, progress);
    } catch (...) {
        failure = std::current_exception();
    }

    // The closing steps run on every path, so the window is never left locked.
    DecodePanel->setText(QStringLiteral("Closing file ..."));
    processPendingEvents();
    FEngine.StreamFree(stream);
    if (!failure) {
        DecodePanel->setText(QStringLiteral("Done."));
        processPendingEvents();
    }
    HideProgressPanel();

    if (failure)
        std::rethrow_exception(failure);
    // The name as the user gave it, relative or not: the file is where that
    // name points.
    FPrompts.message(MessageKind::Information,
                     QStringLiteral("Done, the output file is \"%1\".").arg(shownDestination));
}
