#include "audio/Engine.h"
#include "logic/CommandLine.h"
#include "logic/FileNames.h"
#include "window/Mpris.h"
#include "window/OnePlayer.h"
#include "window/PlayerForms.h"
#include "window/Prompts.h"

#include <QApplication>
#include <QDBusConnection>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <memory>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// Written by the signal handler, read by the event loop: the only thing a
// handler may safely do is write a byte.
int gSignalPipe[2] = {-1, -1};

extern "C" void onTerminationSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const ssize_t written = ::write(gSignalPipe[1], &byte, 1);
    errno = saved;
}

// A termination request from outside (the session ending, kill, Ctrl+C in a
// terminal) ends the program by the same path as closing the window, so the
// streams and the sound device are released. Must run before the engine
// starts: the sound library takes SIGINT and SIGTERM for itself when it finds
// them unclaimed, and then nothing ever reads what it records.
bool installTerminationHandlers()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, gSignalPipe) != 0)
        return false;
    struct sigaction action = {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    // A second request while the first is still being honoured (a decode is
    // finishing its file) ends the process at once.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    bool ok = true;
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        ok = ::sigaction(signal, &action, nullptr) == 0 && ok;
    return ok;
}

// The files the desktop hands over (the desktop entry's %F), as the bytes
// they came as, made full against this process's folder: a running player
// that takes them has a folder of its own.
QList<QByteArray> pathsFromArguments(const CommandLine &commandLine)
{
    const QByteArray folder = currentDirectory();
    QList<QByteArray> paths;
    for (const std::string &file : commandLine.files)
        paths << absolutePath(QByteArray::fromStdString(file), folder);
    return paths;
}

} // namespace

int main(int argc, char *argv[])
{
    // Verify, help, version and a wrong option need no display: decided
    // before the toolkit looks for one.
    const CommandLine commandLine = parseCommandLine(argc, argv);
    if (commandLine.mode != CommandLine::Mode::Window)
        return runWithoutWindow(commandLine, argv[0]);

    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    QGuiApplication::setDesktopFileName(QStringLiteral("sorvano"));
    // Qt would end the program when the last visible window closes, and while
    // the main window waits hidden in the tray that is any message box. The
    // program ends only when its main window's close is accepted, or on a
    // termination signal (below).
    QApplication::setQuitOnLastWindowClosed(false);

    // A player already running takes the files, before this one opens the
    // sound device or a window.
    const QList<QByteArray> paths = pathsFromArguments(commandLine);
    OnePlayer onePlayer(QDBusConnection::sessionBus());
    QString why;
    switch (onePlayer.claimOrHandOver(paths, &why)) {
    case OnePlayer::Start::OwnWindow:
        break;
    case OnePlayer::Start::HandedOver:
        return 0;
    case OnePlayer::Start::Refused:
        std::fprintf(stderr, "sorvano: %s\n", qPrintable(why));
        return 1;
    case OnePlayer::Start::Unanswered:
        std::fprintf(stderr, "sorvano: %s\n", qPrintable(why));
        break;
    }

    bool terminationRequested = false;
    std::unique_ptr<QSocketNotifier> terminationNotifier;
    if (installTerminationHandlers()) {
        terminationNotifier =
            std::make_unique<QSocketNotifier>(gSignalPipe[0], QSocketNotifier::Read);
        QObject::connect(terminationNotifier.get(), &QSocketNotifier::activated, &app, [&] {
            char drain[16];
            while (::read(gSignalPipe[0], drain, sizeof drain) > 0) {
            }
            terminationRequested = true;
            // Leaves every running event loop, an open dialog's included. A
            // decode in progress still finishes its file first: it runs
            // outside any loop of its own.
            QCoreApplication::exit(0);
        });
    }

    audio::Engine engine;
    DesktopPrompts prompts;
    int status = 0;
    {
        TPlayerForm form(engine, prompts);
        if (form.StartupAborted())
            return 0; // the form's destructor still releases the engine
        QObject::connect(&form, &TPlayerForm::CloseAccepted, &app,
                         [] { QCoreApplication::exit(0); });
        form.show();
        // Media keys and the desktop's media controls reach the player here;
        // without a session bus it plays on without them.
        MprisService mediaControls(form);
        mediaControls.registerOn(QDBusConnection::sessionBus());
        // Once the window is on the screen, so a message about one of the
        // files has the window behind it.
        onePlayer.attach(form);
        if (!paths.isEmpty())
            QTimer::singleShot(0, &form, [&form, paths] { form.OpenFiles(paths); });
        // A request that came while a start-up message waited is not lost.
        if (!terminationRequested)
            status = app.exec();
        form.hide();
    }
    return status;
}
