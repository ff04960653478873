#include "ScriptedPrompts.h"

std::optional<QStringList> ScriptedPrompts::openFiles(QWidget *)
{
    ++openDialogs;
    if (openAnswers.empty())
        return std::nullopt;
    const bool confirmed = openAnswers.front().has_value();
    const QStringList files = openAnswers.front().value_or(QStringList());
    openAnswers.pop_front();
    return confirmed ? std::optional<QStringList>(files) : std::nullopt;
}

std::optional<QString> ScriptedPrompts::saveFile(QWidget *, const QString &proposedPath)
{
    proposedSavePaths.append(proposedPath);
    if (whileSaveDialogWaits)
        whileSaveDialogWaits();
    if (saveAnswers.empty())
        return std::nullopt;
    const bool confirmed = saveAnswers.front().has_value();
    const QString file = saveAnswers.front().value_or(QString());
    saveAnswers.pop_front();
    return confirmed ? std::optional<QString>(file) : std::nullopt;
}

Answer ScriptedPrompts::message(MessageKind kind, const QString &text)
{
    const Shown shown{kind, text};
    messages.append(shown);
    if (whileWaiting)
        whileWaiting(shown);
    if (answers.empty())
        return kind == MessageKind::Query ? Answer::Cancel : Answer::Ok;
    const Answer answer = answers.front();
    answers.pop_front();
    return answer;
}

void ScriptedPrompts::errorReport(const QString &text)
{
    errorReports.append(text);
}

QStringList ScriptedPrompts::messageTexts() const
{
    QStringList texts;
    for (const Shown &m : messages)
        texts.append(m.text);
    return texts;
}
