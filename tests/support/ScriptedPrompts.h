#pragma once

#include "window/Prompts.h"

#include <QList>
#include <QStringList>
#include <deque>
#include <functional>

// Answers dialogs and message boxes from queues a test fills, and records
// what was asked. An empty queue answers Cancel (dialogs, queries) or Ok.
class ScriptedPrompts : public IPrompts
{
public:
    struct Shown
    {
        MessageKind kind;
        QString text;
    };

    std::deque<std::optional<QStringList>> openAnswers;
    std::deque<std::optional<QString>> saveAnswers;
    std::deque<Answer> answers;
    // Runs while a message box "waits", as the user's actions would.
    std::function<void(const Shown &)> whileWaiting;
    // Runs while the save dialog waits.
    std::function<void()> whileSaveDialogWaits;

    QList<Shown> messages;
    QStringList errorReports;
    QStringList proposedSavePaths;
    int openDialogs = 0;

    std::optional<QStringList> openFiles(QWidget *window) override;
    std::optional<QString> saveFile(QWidget *window, const QString &proposedPath) override;
    Answer message(MessageKind kind, const QString &text) override;
    void errorReport(const QString &text) override;

    QStringList messageTexts() const;
};
