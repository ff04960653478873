// The Decode command: the TPlayerForm handlers of WAV export.
#include "app/PlayerForms.h"
#include "export/DecodeLayout.h"
#include "export/WavWriter.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QRandomGenerator>
#include <QTreeWidgetItem>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <fcntl.h>

namespace {

constexpr uint32_t kDecodeStreamFlags = audio::kFlagUnicodePath | audio::kFlagDecodeOnly;

void ProcessPendingEvents()
{
    QCoreApplication::processEvents();
}

// An existing destination the user agreed to replace. It is moved to a free
// hidden name beside itself instead of being deleted, and put back unless a
// complete new file took its place, so a decode that fails (a full disk, a
// damaged source) never costs the user the old file.
class SetAsideFile
{
public:
    SetAsideFile() = default;
    SetAsideFile(const SetAsideFile &) = delete;
    SetAsideFile &operator=(const SetAsideFile &) = delete;
    ~SetAsideFile() { Restore(); }

    // False when the file cannot be moved (and so could not be deleted either).
    bool MoveAside(const QString &path)
    {
        const QFileInfo info(path);
        const QByteArray from = QFile::encodeName(path);
        for (int attempt = 0; attempt < 100; ++attempt) {
            const QString name =
                QStringLiteral(".%1.%2.part")
                    .arg(info.fileName())
                    .arg(QRandomGenerator::global()->generate(), 8, 16, QLatin1Char('0'));
            const QByteArray to = QFile::encodeName(info.dir().filePath(name));
            if (::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(),
                            RENAME_NOREPLACE) == 0) {
                FPath = from;
                FAside = to;
                return true;
            }
            // A file system that cannot rename without replacing: deleted
            // at once, as before.
            if (errno == EINVAL)
                return QFile::remove(path);
            if (errno != EEXIST)
                return false;
        }
        return false;
    }

    // The new file is complete: the old one goes.
    void Discard()
    {
        if (!FAside.isEmpty())
            ::unlink(FAside.constData());
        FAside.clear();
    }

    // Back under its name, unless something else has taken that name since.
    void Restore()
    {
        if (!FAside.isEmpty())
            ::renameat2(AT_FDCWD, FAside.constData(), AT_FDCWD, FPath.constData(),
                        RENAME_NOREPLACE);
        FAside.clear();
    }

private:
    QByteArray FPath;
    QByteArray FAside;
};

} // namespace

void TPlayerForm::DecodeToolButtonClick(QObject *sender)
{
    Guarded([&] {
        QTreeWidgetItem *selected = SelectedRowOrAsk();
        if (!selected)
            return;
        const QString source = selected->text(0);
        // The dialog and the question below wait while the window stays
        // usable: rows may be deleted or played meanwhile, so after them the
        // row is known by its stream, never by its index or item.
        const audio::StreamHandle rowStream = RowStream(selected);
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
        SetAsideFile old;
        try {
            if (replace && !old.MoveAside(destination))
                FPrompts.message(MessageKind::Error,
                                 QStringLiteral("Cannot delete the file \"%1\".").arg(destination));
            if (FCurrentIndex >= 0 && RowStream(RowAt(FCurrentIndex)) == rowStream)
                StopToolButtonClick(sender);
        } catch (...) {
            FEngine.StreamFree(stream);
            throw;
        }
        // On failure the old file is back before the error is reported.
        DecodeStream(stream, source, destination);
        old.Discard();
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
