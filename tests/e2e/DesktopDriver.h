#pragma once

// Driving the real sorvano binary on a private desktop from outside, as a
// person would: the program as a process of its own, key and pointer events
// through the X server with xdotool, and what it shows read back from the
// window manager's lists and the tray's window tree.
#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>
#include <QtTest>
#include <atomic>
#include <functional>
#include <sys/types.h>
#include <thread>

using WindowId = quint64;

constexpr int kWait = 20000; // generous: the machine may be busy

// Standard output of a program run to its end; status gets its exit code,
// or -1 when it did not end normally in time.
QByteArray run(const QString &program, const QStringList &args, int *status = nullptr,
               int timeoutMs = 15000);
bool xdotool(const QStringList &args);

// Polls until check holds or the time is up.
bool poll(const std::function<bool()> &check, int timeoutMs = kWait, int intervalMs = 100);

#define QVERIFY_POLL(expr, ...) QVERIFY2(poll([&] { return bool(expr); }, ##__VA_ARGS__), #expr)

QList<WindowId> decimalIds(const QByteArray &text);
QList<WindowId> hexIds(const QByteArray &text);
QString hexId(WindowId id);

struct WindowState
{
    bool exists = false;
    bool viewable = false;
    QRect geometry; // on the screen
};

// Of the root window for id 0.
WindowState windowState(WindowId id);
bool viewable(WindowId id);
QString windowName(WindowId id);
WindowId activeWindow();
// The window manager's lists: what has a taskbar entry, and in which order
// the managed windows are stacked (the last one on top).
QList<WindowId> rootList(const char *property);
QList<WindowId> trayWindows();
// The topmost managed window below the tray, which stays above everything.
WindowId topWindow();
// Every window inside the system tray's windows: a docked icon is one.
QList<WindowId> trayTree();

// The state letter of /proc/pid/stat ('T' when stopped), or 0.
char processState(qint64 pid);

// Runs a process at a few percent of its speed, stopped for 50 ms and then
// run for runMs at a time, while a file it writes (named as the file system
// spells it) grows from its header to its full size: a decode lasts while it
// is asked for something.
class SlowMotion
{
public:
    SlowMotion(pid_t pid, const QByteArray &file, qint64 fullSize, int runMs);
    ~SlowMotion() { end(); }
    SlowMotion(const SlowMotion &) = delete;
    SlowMotion &operator=(const SlowMotion &) = delete;
    void end();

private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// Starts the program as set up in program; should the test die, the program
// goes with it.
void startSorvano(QProcess &program);
// Ends the program, frozen or not.
void stopSorvano(QProcess &program);

// The program with its main window, driven through the desktop.
class DesktopDriver
{
protected:
    // Starts the program and waits for its one window to become active.
    void startProgram();
    bool ours(WindowId id) const;
    QList<WindowId> ourWindows(bool onlyVisible) const;
    // A window of the program's other than the main one that has the focus:
    // a dialog or a message box it has just opened.
    WindowId newActiveWindow() const;
    void waitActive(WindowId id);
    void pressKeys(const QStringList &keys);
    void typeIntoFileDialog(const QString &text, WindowId &dialog);
    void answerFileDialog(const QString &text);
    void addFiles(const QStringList &paths);
    // Waits for a box captioned caption, activates it and presses Return.
    void dismissBox(const QString &caption);
    // The program's icon docked in the tray, or 0.
    WindowId dockedIcon() const;
    // A left click on the icon once the tray has stopped laying it out; the
    // window comes back.
    void clickIconAndWaitForWindow(WindowId icon);
    // Still there a while later, with its main window.
    bool stillRunning();
    // Freezes the program while a decode is under way, so its window can be
    // photographed: waits for the output file to be partly written.
    // Presses Return in dialog again should it still wait.
    bool freezeMidDecode(const QString &wavPath, qint64 finalSize, WindowId dialog = 0,
                         qint64 atLeast = 45);

    QProcess program_;
    WindowId mainWindow_ = 0;
};
