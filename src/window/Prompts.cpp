#include "window/Prompts.h"

#include "logic/FileNames.h"

#include <QApplication>
#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <algorithm>

namespace {

// Qt's dialog knows files by their text, and a name that is not UTF-8 has
// none that leads back to it: Qt refuses such a name as not found, typed as
// the window shows it (a replacement character where a byte is not UTF-8).
// A typed name that stands for a real file is taken; the window finds which
// (and reports a name that several files show as).
class OpenDialog : public QFileDialog
{
public:
    using QFileDialog::QFileDialog;

    void accept() override
    {
        const QStringList files = selectedFiles();
        const auto shownOnly = [](const QString &file) {
            if (!file.contains(QChar(0xFFFD)) || QFileInfo::exists(file))
                return false;
            const ResolvedPath resolved = resolveShownPath(file);
            return resolved.ambiguous || isFileAt(resolved.path);
        };
        const auto plainFile = [](const QString &file) { return QFileInfo(file).isFile(); };
        if (std::any_of(files.begin(), files.end(), shownOnly) &&
            std::all_of(files.begin(), files.end(),
                        [&](const QString &file) { return shownOnly(file) || plainFile(file); })) {
            QDialog::accept();
            return;
        }
        QFileDialog::accept();
    }
};

} // namespace

std::optional<QStringList> DesktopPrompts::openFiles(QWidget *window)
{
    OpenDialog dialog(window);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    dialog.setNameFilters(
        {QStringLiteral("APE Files (*.ape *.cue)"), QStringLiteral("All Files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("ape"));
    dialog.setOption(QFileDialog::ReadOnly, false);
    dialog.setSizeGripEnabled(true);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.selectedFiles();
}

std::optional<QString> DesktopPrompts::saveFile(QWidget *window, const QString &proposedPath)
{
    QFileDialog dialog(window);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setNameFilters({QStringLiteral("WAVE Files (*.wav)")});
    dialog.setDefaultSuffix(QStringLiteral("wav"));
    // The Decode command asks about an existing file itself.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.setSizeGripEnabled(true);
    dialog.selectFile(proposedPath);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().constFirst();
}

Answer DesktopPrompts::message(MessageKind kind, const QString &text)
{
    QMessageBox::Icon icon = QMessageBox::Critical;
    QString caption = QStringLiteral("ERROR");
    QMessageBox::StandardButtons buttons = QMessageBox::Ok;
    QMessageBox::StandardButton preferred = QMessageBox::Ok;
    if (kind == MessageKind::Information) {
        icon = QMessageBox::Information;
        caption = QStringLiteral("INFORMATION");
    } else if (kind == MessageKind::Query) {
        icon = QMessageBox::Question;
        caption = QStringLiteral("QUERY");
        buttons = QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        preferred = QMessageBox::Yes;
    }
    // No owner and no modality: the main window stays usable and its timer
    // keeps ticking while the box waits in its own event loop.
    QPointer<QMessageBox> box = new QMessageBox(icon, caption, text, buttons);
    box->setDefaultButton(preferred);
    if (kind == MessageKind::Query)
        box->setEscapeButton(QMessageBox::Cancel);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose, false);
    QEventLoop loop;
    QObject::connect(box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    QObject::connect(box, &QObject::destroyed, &loop, &QEventLoop::quit);
    box->show();
    box->raise();
    box->activateWindow();
    loop.exec();
    if (!box)
        return kind == MessageKind::Query ? Answer::Cancel : Answer::Ok;
    const auto clicked = box->standardButton(box->clickedButton());
    box->deleteLater();
    switch (clicked) {
    case QMessageBox::Yes:
        return Answer::Yes;
    case QMessageBox::No:
        return Answer::No;
    case QMessageBox::Ok:
        return Answer::Ok;
    default:
        return kind == MessageKind::Query ? Answer::Cancel : Answer::Ok;
    }
}

void DesktopPrompts::errorReport(const QString &text)
{
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), text,
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
}

QString errorReportText(const QString &message)
{
    if (!message.isEmpty() && message.back().unicode() > u'.')
        return message + QLatin1Char('.');
    return message;
}
