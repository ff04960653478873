#include "app/PlayerForms.h"
#include "app/Prompts.h"
#include "audio/Engine.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    QGuiApplication::setDesktopFileName(QStringLiteral("sorvano"));

    audio::Engine engine;
    DesktopPrompts prompts;
    int status = 0;
    {
        TPlayerForm form(engine, prompts);
        if (form.StartupAborted())
            return 0; // the form's destructor still releases the engine
        form.show();
        status = app.exec();
        form.hide();
    }
    return status;
}
