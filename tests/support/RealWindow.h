#pragma once

#include "PlayerWindow.h"
#include "audio/Engine.h"

#include <QStringList>

// The main window on the real engine. The engine lives as long as the
// fixture: a test makes a new window on it for each case.
struct RealWindow : PlayerWindow<audio::Engine>
{
    // A shown window with fresh prompts.
    void showWindow()
    {
        prompts = ScriptedPrompts();
        create();
        form->show();
    }
    // The Open command, its dialog answered with `paths`.
    void open(const QStringList &paths)
    {
        prompts.openAnswers.push_back(paths);
        form->OpenToolButtonClick();
    }
};
