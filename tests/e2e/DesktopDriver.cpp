#include "DesktopDriver.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>
#include <csignal>
#include <sys/prctl.h>
#include <sys/stat.h>

QByteArray run(const QString &program, const QStringList &args, int *status, int timeoutMs)
{
    QProcess process;
    process.start(program, args);
    const bool finished = process.waitForFinished(timeoutMs);
    if (status)
        *status =
            finished && process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput();
}

bool xdotool(const QStringList &args)
{
    int status = 0;
    run(QStringLiteral("xdotool"), args, &status);
    return status == 0;
}

bool poll(const std::function<bool()> &check, int timeoutMs, int intervalMs)
{
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        if (check())
            return true;
        if (clock.elapsed() > timeoutMs)
            return false;
        QThread::msleep(intervalMs);
    }
}

QList<WindowId> decimalIds(const QByteArray &text)
{
    QList<WindowId> ids;
    for (const QByteArray &line : text.split('\n'))
        if (!line.trimmed().isEmpty())
            ids << line.trimmed().toULongLong();
    return ids;
}

QList<WindowId> hexIds(const QByteArray &text)
{
    QList<WindowId> ids;
    static const QRegularExpression hex(QStringLiteral("0x[0-9a-fA-F]+"));
    for (const auto &match : hex.globalMatch(QString::fromLatin1(text)))
        ids << match.captured().mid(2).toULongLong(nullptr, 16);
    return ids;
}

QString hexId(WindowId id)
{
    return QStringLiteral("0x") + QString::number(id, 16);
}

WindowState windowState(WindowId id)
{
    int status = 0;
    const QStringList args = id ? QStringList{"-id", hexId(id)} : QStringList{"-root"};
    const QString out = QString::fromUtf8(run(QStringLiteral("xwininfo"), args, &status));
    WindowState state;
    if (status != 0)
        return state;
    const auto field = [&](const char *name) {
        const int at = out.indexOf(QLatin1String(name));
        return at < 0 ? -1 : out.mid(at + int(strlen(name))).section('\n', 0, 0).trimmed().toInt();
    };
    state.exists = true;
    state.viewable = out.contains(QLatin1String("IsViewable"));
    state.geometry = QRect(field("Absolute upper-left X:"), field("Absolute upper-left Y:"),
                           field("Width:"), field("Height:"));
    return state;
}

bool viewable(WindowId id)
{
    return windowState(id).viewable;
}

QString windowName(WindowId id)
{
    return QString::fromUtf8(run(QStringLiteral("xdotool"), {"getwindowname", QString::number(id)}))
        .trimmed();
}

WindowId activeWindow()
{
    const QList<WindowId> ids = decimalIds(run(QStringLiteral("xdotool"), {"getactivewindow"}));
    return ids.isEmpty() ? 0 : ids.constFirst();
}

QList<WindowId> rootList(const char *property)
{
    const QByteArray out = run(QStringLiteral("xprop"), {"-root", QString::fromLatin1(property)});
    const int hash = out.indexOf('#');
    return hash < 0 ? QList<WindowId>() : hexIds(out.mid(hash));
}

QList<WindowId> trayWindows()
{
    return decimalIds(run(QStringLiteral("xdotool"), {"search", "--class", "trayer"}));
}

WindowId topWindow()
{
    const QList<WindowId> tray = trayWindows();
    QList<WindowId> stacking = rootList("_NET_CLIENT_LIST_STACKING");
    stacking.removeIf([&](WindowId id) { return tray.contains(id); });
    return stacking.isEmpty() ? 0 : stacking.constLast();
}

QList<WindowId> trayTree()
{
    QList<WindowId> all;
    for (WindowId tray : trayWindows())
        all += hexIds(run(QStringLiteral("xwininfo"), {"-tree", "-id", hexId(tray)}));
    return all;
}

char processState(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const int paren = text.lastIndexOf(')');
    return paren < 0 || paren + 2 >= text.size() ? 0 : text.at(paren + 2);
}

void startSorvano(QProcess &program)
{
    program.setProgram(QStringLiteral(SORVANO_BINARY));
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    program.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    program.start();
}

void stopSorvano(QProcess &program)
{
    if (program.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(program.processId()), SIGCONT);
    program.kill();
    program.waitForFinished(kWait);
}

void DesktopDriver::startProgram()
{
    startSorvano(program_);
    QVERIFY(program_.waitForStarted(kWait));
    // The one window shown at start: the tray icon is hidden then.
    QVERIFY_POLL(ourWindows(true).size() == 1);
    mainWindow_ = ourWindows(true).constFirst();
    QCOMPARE(windowName(mainWindow_), QStringLiteral("Sorvano"));
    waitActive(mainWindow_);
}

bool DesktopDriver::ours(WindowId id) const
{
    return ourWindows(false).contains(id);
}

QList<WindowId> DesktopDriver::ourWindows(bool onlyVisible) const
{
    QStringList args = {"search"};
    if (onlyVisible)
        args << "--onlyvisible";
    args << "--pid" << QString::number(program_.processId());
    return decimalIds(run(QStringLiteral("xdotool"), args));
}

WindowId DesktopDriver::newActiveWindow() const
{
    const WindowId active = activeWindow();
    return active && active != mainWindow_ && ours(active) ? active : 0;
}

void DesktopDriver::waitActive(WindowId id)
{
    QVERIFY2(poll([&] { return activeWindow() == id; }),
             qPrintable(QStringLiteral("%1 never became the active window").arg(windowName(id))));
}

// Keys go through the X server to whichever window has the focus.
void DesktopDriver::pressKeys(const QStringList &keys)
{
    QVERIFY(xdotool(QStringList{"key", "--clearmodifiers"} + keys));
}

// Waits for the file dialog to take the focus, then types text (when given)
// over its name field.
void DesktopDriver::typeIntoFileDialog(const QString &text, WindowId &dialog)
{
    QVERIFY_POLL((dialog = newActiveWindow()) != 0);
    if (!text.isNull()) {
        pressKeys({"ctrl+a"});
        QVERIFY(xdotool({"type", "--delay", "5", text}));
    }
}

// Types text (when given) into the file dialog and confirms it. A completer
// list that pops up while typing may take the first Return, so Return is
// pressed again while the dialog stays.
void DesktopDriver::answerFileDialog(const QString &text)
{
    WindowId dialog = 0;
    typeIntoFileDialog(text, dialog);
    if (!dialog)
        return;
    QElapsedTimer sinceReturn;
    const auto confirmed = [&] {
        if (!viewable(dialog))
            return true;
        if (activeWindow() == dialog && (!sinceReturn.isValid() || sinceReturn.elapsed() > 1500)) {
            xdotool({"key", "Return"});
            sinceReturn.start();
        }
        return false;
    };
    QVERIFY2(poll(confirmed), "the file dialog stayed open");
}

void DesktopDriver::addFiles(const QStringList &paths)
{
    waitActive(mainWindow_);
    // The list has the focus, and Ctrl+O is its shortcut for Open.
    pressKeys({"ctrl+o"});
    QStringList quoted;
    for (const QString &path : paths)
        quoted << QLatin1Char('"') + path + QLatin1Char('"');
    answerFileDialog(quoted.join(QLatin1Char(' ')));
    waitActive(mainWindow_);
}

// As a person does: the box is made the active window, then the key goes
// through the X server.
void DesktopDriver::dismissBox(const QString &caption)
{
    WindowId box = 0;
    bool error = false;
    const auto findBox = [&] {
        for (WindowId id : ourWindows(true)) {
            const QString name = windowName(id);
            if (id != mainWindow_ && name == caption)
                box = id;
            error = error || (name == QLatin1String("ERROR") && caption != name);
        }
        return box != 0 || error;
    };
    QVERIFY2(poll(findBox), qPrintable(QStringLiteral("no box captioned %1").arg(caption)));
    QVERIFY2(!error, "the program showed an error box");
    if (!poll([&] { return activeWindow() == box; }, 3000))
        QVERIFY(xdotool({"windowactivate", "--sync", QString::number(box)}));
    waitActive(box);
    pressKeys({"Return"});
    QVERIFY_POLL(!viewable(box));
}

WindowId DesktopDriver::dockedIcon() const
{
    const QList<WindowId> tray = trayTree();
    for (WindowId id : ourWindows(true))
        if (tray.contains(id))
            return id;
    return 0;
}

void DesktopDriver::clickIconAndWaitForWindow(WindowId icon)
{
    const auto iconSettled = [&] {
        const WindowState first = windowState(icon);
        QThread::msleep(300);
        return first.viewable && windowState(icon).geometry == first.geometry;
    };
    QVERIFY2(poll(iconSettled), "the icon never settled in the tray");
    // The lower edge of the icon: a balloon's arrow may cover the middle.
    const QRect iconRect = windowState(icon).geometry;
    QVERIFY(xdotool({"mousemove", "--window", QString::number(icon),
                     QString::number(iconRect.width() / 2), QString::number(iconRect.height() - 3),
                     "sleep", "0.1", "click", "1"}));
    QVERIFY_POLL(viewable(mainWindow_) && activeWindow() == mainWindow_);
    xdotool({"mousemove", "1", "1"});
    // A restore that passes through minimised again must not hide it again.
    QVERIFY2(!poll([&] { return !viewable(mainWindow_); }, 1500), "hidden again after the restore");
}

bool DesktopDriver::stillRunning()
{
    return !program_.waitForFinished(1500) && ours(mainWindow_);
}

bool DesktopDriver::freezeMidDecode(const QString &wavPath, qint64 finalSize, WindowId dialog,
                                    qint64 atLeast)
{
    const pid_t pid = pid_t(program_.processId());
    QElapsedTimer clock, sinceReturn;
    clock.start();
    sinceReturn.start();
    while (clock.elapsed() < kWait) {
        const qint64 size = QFileInfo(wavPath).size();
        if (size <= 0 && dialog && sinceReturn.elapsed() > 1500) {
            if (activeWindow() == dialog)
                xdotool({"key", "Return"});
            sinceReturn.start();
        }
        if (size >= finalSize)
            return false; // over before it could be caught
        if (size >= atLeast) {
            ::kill(pid, SIGSTOP);
            if (poll([&] { return processState(pid) == 'T'; }, 5000, 2)) {
                if (QFileInfo(wavPath).size() < finalSize)
                    return true;
            }
            ::kill(pid, SIGCONT);
            return false;
        }
        QThread::usleep(500);
    }
    return false;
}

SlowMotion::SlowMotion(pid_t pid, const QByteArray &file, qint64 fullSize, int runMs)
    : thread_([this, pid, file, fullSize, runMs] {
          struct stat st;
          const auto size = [&] { return ::stat(file.constData(), &st) == 0 ? st.st_size : 0; };
          while (running_ && size() <= 44)
              QThread::msleep(2);
          while (running_ && size() < fullSize) {
              ::kill(pid, SIGSTOP);
              QThread::msleep(50);
              ::kill(pid, SIGCONT);
              QThread::msleep(runMs);
          }
          ::kill(pid, SIGCONT);
      })
{
}

void SlowMotion::end()
{
    running_ = false;
    if (thread_.joinable())
        thread_.join();
}
