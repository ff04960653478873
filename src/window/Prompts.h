#pragma once

#include <QString>
#include <QStringList>
#include <optional>

class QWidget;

// The kinds of the program's own message boxes.
enum class MessageKind
{
    Error,       // "ERROR", error icon, OK
    Information, // "INFORMATION", information icon, OK
    Query,       // "QUERY", question icon, Yes / No / Cancel, Yes the default
};

enum class Answer
{
    Ok,
    Yes,
    No,
    Cancel,
};

// Everything that waits for the user: file dialogs and message boxes. The
// window asks through this seam so tests can answer without a person.
class IPrompts
{
public:
    virtual ~IPrompts() = default;

    // The open dialog; nullopt when cancelled. Full paths, in dialog order.
    virtual std::optional<QStringList> openFiles(QWidget *window) = 0;
    // The save dialog, preset with proposedPath; nullopt when cancelled.
    virtual std::optional<QString> saveFile(QWidget *window, const QString &proposedPath) = 0;
    // A box with no owner window. Pending events (timer ticks, clicks on the
    // still enabled main window) go on being handled while it waits.
    virtual Answer message(MessageKind kind, const QString &text) = 0;
    // The application's error report for unexpected failures: owned by the
    // active window, captioned with the application title, error icon.
    virtual void errorReport(const QString &text) = 0;
};

// Real dialogs and message boxes.
class DesktopPrompts : public IPrompts
{
public:
    std::optional<QStringList> openFiles(QWidget *window) override;
    std::optional<QString> saveFile(QWidget *window, const QString &proposedPath) override;
    Answer message(MessageKind kind, const QString &text) override;
    void errorReport(const QString &text) override;
};

// The error report's text: the message, with a full stop appended when its
// last character's code is above that of ".".
QString errorReportText(const QString &message);
