// The real sorvano binary on a private desktop (run by
// scripts/desktop-session.sh with openbox, trayer and a PulseAudio null
// sink). The program runs as a process of its own and is driven only from
// outside, with real key and pointer events sent by xdotool through the X
// server. What it does is read back from the outside too: window names and
// map states, the window manager's client and stacking lists, the tray's
// window tree, screenshots taken with ImageMagick's import, the files it
// writes and its exit status. Screenshots go to SORVANO_SHOTS.
#include "Manifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <functional>
#include <sys/prctl.h>

namespace {

// Thirty seconds: long enough to watch the seek bar move and to catch the
// decode in progress.
const char *const kPlayed = "s16-stereo-44k-long-c2000.ape";
const char *const kSecond = "s16-stereo-44k-c2000.ape";
constexpr int kWait = 20000; // generous: the machine may be busy

using WindowId = quint64;

QByteArray run(const QString &program, const QStringList &args, int *status = nullptr)
{
    QProcess process;
    process.start(program, args);
    const bool finished = process.waitForFinished(15000);
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

// Polls until check holds or the time is up.
bool poll(const std::function<bool()> &check, int timeoutMs = kWait, int intervalMs = 100)
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

#define QVERIFY_POLL(expr, ...) QVERIFY2(poll([&] { return bool(expr); }, ##__VA_ARGS__), #expr)

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

struct WindowState
{
    bool exists = false;
    bool viewable = false;
    QRect geometry; // on the screen
};

// Of the root window for id 0.
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

// The window manager's lists: what has a taskbar entry, and in which order
// the managed windows are stacked (the last one on top).
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

// The topmost managed window below the tray, which stays above everything.
WindowId topWindow()
{
    const QList<WindowId> tray = trayWindows();
    QList<WindowId> stacking = rootList("_NET_CLIENT_LIST_STACKING");
    stacking.removeIf([&](WindowId id) { return tray.contains(id); });
    return stacking.isEmpty() ? 0 : stacking.constLast();
}

// Every window inside the system tray's windows: a docked icon is one.
QList<WindowId> trayTree()
{
    QList<WindowId> all;
    for (WindowId tray : trayWindows())
        all += hexIds(run(QStringLiteral("xwininfo"), {"-tree", "-id", hexId(tray)}));
    return all;
}

QByteArray md5(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Md5).toHex();
}

quint32 le32(const QByteArray &bytes, int at)
{
    return quint32(quint8(bytes[at])) | quint32(quint8(bytes[at + 1])) << 8 |
           quint32(quint8(bytes[at + 2])) << 16 | quint32(quint8(bytes[at + 3])) << 24;
}

quint16 le16(const QByteArray &bytes, int at)
{
    return quint16(quint8(bytes[at]) | quint8(bytes[at + 1]) << 8);
}

// Pixels of a that differ clearly from b inside area.
QList<QPoint> changedPixels(const QImage &a, const QImage &b, const QRect &area)
{
    QList<QPoint> changed;
    if (a.size() != b.size())
        return changed;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (qAbs(qRed(p) - qRed(q)) + qAbs(qGreen(p) - qGreen(q)) + qAbs(qBlue(p) - qBlue(q)) >
                48)
                changed << QPoint(x, y);
        }
    return changed;
}

// The seek bar fills the right-hand end of the window's top strip: 263 by 24
// pixels, 2 from the right edge and 4 from the top at 120 dpi, scaled with
// the window.
QRect seekBarArea(const QImage &window)
{
    const double s = window.width() / 782.0;
    return QRect(qRound(window.width() - 265 * s), qRound(4 * s), qRound(263 * s), qRound(24 * s));
}

// How far right the seek bar's handle has travelled: the rightmost column in
// which the bar differs from the same bar at position 0 over at least a
// handle's height (the tick marks at the ends may be repainted), or -1 while
// it does not differ at all.
int handleEdge(const QImage &now, const QImage &atStart)
{
    const QRect area = seekBarArea(now);
    QList<int> changedInColumn(area.right() + 1, 0);
    for (const QPoint &p : changedPixels(now, atStart, area))
        ++changedInColumn[p.x()];
    const int tall = qRound(8 * now.width() / 782.0);
    for (int x = area.right(); x >= area.left(); --x)
        if (changedInColumn[x] >= tall)
            return x;
    return -1;
}

// The middle of the list: empty with two rows, covered by the progress
// panel while a decode runs.
QRect listMiddle(const QImage &window)
{
    return QRect(window.width() / 4, window.height() / 3, window.width() / 2, window.height() / 4);
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

} // namespace

class DesktopTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void wholeProgram();
    void interruptEndsCleanlyWithDialogOpen();
    void terminationDuringDecodeFinishesTheFile();
    void closingBoxesOrAskingToCloseKeepsItRunning();
    // Takes the tray away: must stay last.
    void trayGoingAwayBringsTheWindowBack();

private:
    void startProgram();
    void stopProgram();
    bool ours(WindowId id) const;
    QList<WindowId> ourWindows(bool onlyVisible) const;
    WindowId newActiveWindow() const;
    void waitActive(WindowId id);
    void pressKeys(const QStringList &keys);
    void typeIntoFileDialog(const QString &text, WindowId &dialog);
    void answerFileDialog(const QString &text);
    void addFiles(const QStringList &paths);
    void startDecode(const QStringList &commandKeys, const QString &destination);
    void startDecodeAndFreeze(const QStringList &commandKeys, const QString &destination,
                              const char *fixture, bool &frozen);
    void confirmNotice();
    // Waits for a box captioned caption, activates it and presses Return.
    void dismissBox(const QString &caption);
    // The program's icon docked in the tray, or 0.
    WindowId dockedIcon() const;
    // A left click on the icon once the tray has stopped laying it out; the
    // window comes back.
    void clickIconAndWaitForWindow(WindowId icon);
    // Freezes a running decode, has fn done to the frozen program, and lets
    // it go on.
    void whileDecodeFrozen(const QString &wavPath, const char *fixture,
                           const std::function<void()> &fn);
    // Still there a while later, with its main window.
    bool stillRunning();
    void checkWav(const QString &wavPath, const char *fixture);
    // Of one window, or of the whole screen for window 0.
    QImage screenshot(WindowId id, const QString &name = QString());
    // Freezes the program while a decode is under way, so its window can be
    // photographed: waits for the output file to be partly written.
    // Presses Return in dialog again should it still wait.
    bool freezeMidDecode(const QString &wavPath, qint64 finalSize, WindowId dialog = 0,
                         qint64 atLeast = 45);
    qint64 pcmBytes(const char *fixture) const;

    QTemporaryDir dir;
    QString shots;
    Manifest manifest;
    QProcess program;
    WindowId mainWindow = 0;
};

void DesktopTest::initTestCase()
{
    QVERIFY(dir.isValid());
    shots = qEnvironmentVariable("SORVANO_SHOTS", dir.filePath(QStringLiteral("shots")));
    QVERIFY(QDir().mkpath(shots));
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("out")));
    manifest = Manifest::load(fixturePath("manifest.tsv"));
    QVERIFY(!manifest.rows.isEmpty());
    for (const char *name : {kPlayed, kSecond})
        QVERIFY(QFile::copy(fixturePath(name), dir.filePath(name)));
    QVERIFY_POLL(!trayTree().isEmpty());
    QVERIFY(QFileInfo(QStringLiteral(SORVANO_BINARY)).isExecutable());
}

void DesktopTest::cleanup()
{
    stopProgram();
    // The pointer waits where it neither hovers the window nor the tray.
    xdotool({"mousemove", "1", "1"});
}

void DesktopTest::startProgram()
{
    program.setProgram(QStringLiteral(SORVANO_BINARY));
    program.setProcessChannelMode(QProcess::ForwardedChannels);
    // Should this test die, the program goes with it.
    program.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    program.start();
    QVERIFY(program.waitForStarted(kWait));
    // The one window shown at start: the tray icon is hidden then.
    QVERIFY_POLL(ourWindows(true).size() == 1);
    mainWindow = ourWindows(true).constFirst();
    QCOMPARE(windowName(mainWindow), QStringLiteral("Sorvano"));
    waitActive(mainWindow);
}

void DesktopTest::stopProgram()
{
    if (program.state() == QProcess::NotRunning)
        return;
    ::kill(pid_t(program.processId()), SIGCONT);
    program.kill();
    program.waitForFinished(kWait);
}

bool DesktopTest::ours(WindowId id) const
{
    return ourWindows(false).contains(id);
}

QList<WindowId> DesktopTest::ourWindows(bool onlyVisible) const
{
    QStringList args = {"search"};
    if (onlyVisible)
        args << "--onlyvisible";
    args << "--pid" << QString::number(program.processId());
    return decimalIds(run(QStringLiteral("xdotool"), args));
}

// A window of the program's other than the main one that has the focus: a
// dialog or a message box it has just opened.
WindowId DesktopTest::newActiveWindow() const
{
    const WindowId active = activeWindow();
    return active && active != mainWindow && ours(active) ? active : 0;
}

void DesktopTest::waitActive(WindowId id)
{
    QVERIFY2(poll([&] { return activeWindow() == id; }),
             qPrintable(QStringLiteral("%1 never became the active window").arg(windowName(id))));
}

// Keys go through the X server to whichever window has the focus.
void DesktopTest::pressKeys(const QStringList &keys)
{
    QVERIFY(xdotool(QStringList{"key", "--clearmodifiers"} + keys));
}

// Waits for the file dialog to take the focus, then types text (when given)
// over its name field.
void DesktopTest::typeIntoFileDialog(const QString &text, WindowId &dialog)
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
void DesktopTest::answerFileDialog(const QString &text)
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

void DesktopTest::addFiles(const QStringList &paths)
{
    waitActive(mainWindow);
    // The list has the focus, and Ctrl+O is its shortcut for Open.
    pressKeys({"ctrl+o"});
    QStringList quoted;
    for (const QString &path : paths)
        quoted << QLatin1Char('"') + path + QLatin1Char('"');
    answerFileDialog(quoted.join(QLatin1Char(' ')));
    waitActive(mainWindow);
}

void DesktopTest::startDecode(const QStringList &commandKeys, const QString &destination)
{
    waitActive(mainWindow);
    pressKeys(commandKeys);
    answerFileDialog(destination);
}

// The decode starts the moment the dialog is confirmed and may take only a
// fraction of a second, so the file is watched from the Return on.
void DesktopTest::startDecodeAndFreeze(const QStringList &commandKeys, const QString &destination,
                                       const char *fixture, bool &frozen)
{
    waitActive(mainWindow);
    pressKeys(commandKeys);
    WindowId dialog = 0;
    typeIntoFileDialog(destination, dialog);
    if (!dialog)
        return;
    pressKeys({"Return"});
    frozen = freezeMidDecode(destination, 44 + pcmBytes(fixture), dialog);
}

// Answers the closing notice of a decode; an error box would fail here.
void DesktopTest::confirmNotice()
{
    dismissBox(QStringLiteral("INFORMATION"));
}

// As a person does: the box is made the active window, then the key goes
// through the X server.
void DesktopTest::dismissBox(const QString &caption)
{
    WindowId box = 0;
    bool error = false;
    const auto findBox = [&] {
        for (WindowId id : ourWindows(true)) {
            const QString name = windowName(id);
            if (id != mainWindow && name == caption)
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

WindowId DesktopTest::dockedIcon() const
{
    const QList<WindowId> tray = trayTree();
    for (WindowId id : ourWindows(true))
        if (tray.contains(id))
            return id;
    return 0;
}

void DesktopTest::clickIconAndWaitForWindow(WindowId icon)
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
    QVERIFY_POLL(viewable(mainWindow) && activeWindow() == mainWindow);
    xdotool({"mousemove", "1", "1"});
    // A restore that passes through minimised again must not hide it again.
    QVERIFY2(!poll([&] { return !viewable(mainWindow); }, 1500), "hidden again after the restore");
}

void DesktopTest::whileDecodeFrozen(const QString &wavPath, const char *fixture,
                                    const std::function<void()> &fn)
{
    bool frozen = false;
    startDecodeAndFreeze({"ctrl+d"}, wavPath, fixture, frozen);
    QVERIFY2(frozen, "the decode was never caught running");
    fn();
    // What the desktop sent meanwhile waits in the program's queue.
    QThread::msleep(500);
    ::kill(pid_t(program.processId()), SIGCONT);
}

bool DesktopTest::stillRunning()
{
    return !program.waitForFinished(1500) && ours(mainWindow);
}

qint64 DesktopTest::pcmBytes(const char *fixture) const
{
    for (const auto &row : manifest.rows)
        if (row.value("file") == QLatin1String(fixture))
            return row.value("pcm_bytes").toLongLong();
    return -1;
}

// The whole file: a 44-byte header describing the fixture's format, then
// exactly its PCM.
void DesktopTest::checkWav(const QString &wavPath, const char *fixture)
{
    QMap<QString, QString> expected;
    for (const auto &row : manifest.rows)
        if (row.value("file") == QLatin1String(fixture))
            expected = row;
    QVERIFY(!expected.isEmpty());
    QFile file(wavPath);
    QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(wavPath));
    const QByteArray bytes = file.readAll();
    QVERIFY(bytes.size() >= 44);
    QCOMPARE(bytes.left(4), QByteArray("RIFF"));
    QCOMPARE(bytes.mid(8, 8), QByteArray("WAVEfmt "));
    QCOMPARE(le16(bytes, 22), expected.value("channels").toUShort());
    QCOMPARE(le32(bytes, 24), expected.value("rate").toUInt());
    QCOMPARE(le16(bytes, 34), expected.value("bits").toUShort());
    QCOMPARE(bytes.mid(36, 4), QByteArray("data"));
    QCOMPARE(qint64(le32(bytes, 40)), expected.value("pcm_bytes").toLongLong());
    QCOMPARE(qint64(bytes.size() - 44), expected.value("pcm_bytes").toLongLong());
    QCOMPARE(QString::fromLatin1(md5(bytes.mid(44))), expected.value("pcm_md5"));
}

QImage DesktopTest::screenshot(WindowId id, const QString &name)
{
    const QString path = name.isEmpty() ? dir.filePath(QStringLiteral("last.png"))
                                        : QDir(shots).filePath(name + QStringLiteral(".png"));
    QFile::remove(path);
    int status = 0;
    run(QStringLiteral("import"), {"-window", id ? hexId(id) : QStringLiteral("root"), path},
        &status);
    return status == 0 ? QImage(path).convertToFormat(QImage::Format_RGB32) : QImage();
}

bool DesktopTest::freezeMidDecode(const QString &wavPath, qint64 finalSize, WindowId dialog,
                                  qint64 atLeast)
{
    const pid_t pid = pid_t(program.processId());
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

void DesktopTest::wholeProgram()
{
    startProgram();
    const QString played = dir.filePath(kPlayed);
    const QString second = dir.filePath(kSecond);
    xdotool({"mousemove", "1", "1"});

    // Two files through the open dialog, typed together as full paths.
    addFiles({played, second});
    const QImage normal = screenshot(mainWindow, QStringLiteral("normal"));
    QVERIFY(!normal.isNull());

    // Play the first row: the caption names it and the seek bar moves on.
    pressKeys({"Home", "ctrl+p"});
    const QString caption = QStringLiteral("Sorvano [%1]").arg(played);
    QVERIFY_POLL(windowName(mainWindow) == caption);
    QVERIFY_POLL(handleEdge(screenshot(mainWindow), normal) > 0);
    const int started = handleEdge(screenshot(mainWindow), normal);
    QVERIFY_POLL(handleEdge(screenshot(mainWindow), normal) > started);
    const QImage playing = screenshot(mainWindow, QStringLiteral("playing"));
    const int beforeTray = handleEdge(playing, normal);
    QVERIFY(beforeTray > started);

    // Minimise with the window manager: the window and its taskbar entry
    // leave, an icon of the program's docks in the tray (none was there
    // before), with the first-time balloon beside it.
    QVERIFY(rootList("_NET_CLIENT_LIST").contains(mainWindow));
    const QList<WindowId> trayBefore = trayTree();
    for (WindowId id : ourWindows(false))
        QVERIFY2(!trayBefore.contains(id), "an icon was in the tray before the first minimise");
    QVERIFY(xdotool({"windowminimize", QString::number(mainWindow)}));
    QVERIFY_POLL(!viewable(mainWindow));
    QVERIFY_POLL(!rootList("_NET_CLIENT_LIST").contains(mainWindow));
    // The balloon lasts three seconds: it is looked for, and photographed,
    // in the same round as the icon.
    WindowId icon = 0, balloon = 0;
    QImage screen;
    const auto findIconAndBalloon = [&] {
        const QList<WindowId> tray = trayTree();
        for (WindowId id : ourWindows(true)) {
            if (tray.contains(id))
                icon = id;
            else if (id != mainWindow)
                balloon = id;
        }
        if (icon && balloon && screen.isNull())
            screen = screenshot(0);
        return icon && balloon;
    };
    QVERIFY2(poll(findIconAndBalloon, kWait, 50), "no icon docked in the tray with a balloon");
    const QRect balloonAt = windowState(balloon).geometry;
    const QRect iconAt = windowState(icon).geometry;
    QVERIFY2(balloonAt.adjusted(-40, -40, 40, 40).intersects(iconAt),
             "the balloon is not at the icon");
    screen.copy(balloonAt.united(iconAt).adjusted(-24, -24, 24, 24).intersected(screen.rect()))
        .save(QDir(shots).filePath(QStringLiteral("tray-balloon.png")));
    QVERIFY(!viewable(mainWindow));

    // A left click on the icon brings the window back: mapped, listed,
    // active and on top; the icon goes.
    clickIconAndWaitForWindow(icon);
    QVERIFY_POLL(rootList("_NET_CLIENT_LIST").contains(mainWindow));
    QVERIFY_POLL(topWindow() == mainWindow);
    QVERIFY_POLL(!ourWindows(true).contains(icon));
    // Playback and the timer went on while the window was in the tray.
    QVERIFY_POLL(handleEdge(screenshot(mainWindow), normal) > beforeTray);

    // Decode the playing row from the popup menu (its Decode item has the
    // access key E) into a typed destination. The progress panel is
    // photographed with the program frozen half-way through.
    const QString typedWav = dir.filePath(QStringLiteral("out/played.wav"));
    waitActive(mainWindow);
    pressKeys({"Home", "shift+F10"});
    QVERIFY_POLL(ourWindows(true).size() > 1); // the menu
    bool frozen = false;
    startDecodeAndFreeze({"e"}, typedWav, kPlayed, frozen);
    QVERIFY2(frozen, "the decode was never caught running");
    const qint64 wavSize = 44 + pcmBytes(kPlayed);
    const pid_t pid = pid_t(program.processId());
    const auto panelShown = [&](const QImage &window) {
        return changedPixels(window, normal, listMiddle(window)).size() > 100;
    };
    // The program may have painted the panel without having handed it to
    // the X server yet: let it run a little and look again.
    bool panelSeen = false;
    for (int attempt = 0; attempt < 20 && !panelSeen; ++attempt) {
        if (attempt > 0 && !freezeMidDecode(typedWav, wavSize))
            break;
        const QImage decoding = screenshot(mainWindow);
        panelSeen = panelShown(decoding);
        if (panelSeen)
            decoding.save(QDir(shots).filePath(QStringLiteral("decoding.png")));
        ::kill(pid, SIGCONT);
        QThread::msleep(10);
    }
    QVERIFY2(panelSeen, "no progress panel while the file was being written");
    // A picture further on, for the README, when the decode can be caught
    // there too.
    if (freezeMidDecode(typedWav, wavSize, 0, wavSize * 2 / 5)) {
        const QImage decoding = screenshot(mainWindow);
        if (panelShown(decoding))
            decoding.save(QDir(shots).filePath(QStringLiteral("decoding.png")));
        ::kill(pid, SIGCONT);
    }
    confirmNotice();
    checkWav(typedWav, kPlayed);

    // The second row with Ctrl+D, accepting the proposed name: its own path
    // with the extension .wav.
    waitActive(mainWindow);
    pressKeys({"End"});
    startDecode({"ctrl+d"}, QString());
    confirmNotice();
    checkWav(dir.filePath(QString::fromLatin1(kSecond).replace(".ape", ".wav")), kSecond);

    // Closing the window (the window manager's Alt+F4) ends the program.
    waitActive(mainWindow);
    pressKeys({"alt+F4"});
    QVERIFY(program.waitForFinished(kWait));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

// Ctrl+C in a terminal, the session ending: the program leaves the dialog
// and ends as if its window had been closed.
void DesktopTest::interruptEndsCleanlyWithDialogOpen()
{
    startProgram();
    pressKeys({"ctrl+o"});
    QVERIFY_POLL(newActiveWindow() != 0);
    ::kill(pid_t(program.processId()), SIGINT);
    QVERIFY(program.waitForFinished(kWait));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

// Told to end while it writes a file, the program finishes the file first
// and then ends cleanly: nothing is left half-written.
void DesktopTest::terminationDuringDecodeFinishesTheFile()
{
    startProgram();
    const QString wav = dir.filePath(QStringLiteral("out/terminated.wav"));
    addFiles({dir.filePath(kPlayed)});
    bool frozen = false;
    startDecodeAndFreeze({"ctrl+d"}, wav, kPlayed, frozen);
    QVERIFY2(frozen, "the decode was never caught running");
    const pid_t pid = pid_t(program.processId());
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGCONT);
    QVERIFY(program.waitForFinished(kWait));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    checkWav(wav, kPlayed);
}

// Only the main window's accepted close ends the program: not a message box
// dismissed while the window waits in the tray, and not a close request from
// the window manager while a decode runs.
void DesktopTest::closingBoxesOrAskingToCloseKeepsItRunning()
{
    startProgram();
    const QString played = dir.filePath(kPlayed);
    const QString second = dir.filePath(kSecond);
    addFiles({played, second});

    // The title bar's close (its polite request) and Alt+F4 during a decode.
    const QString refused = dir.filePath(QStringLiteral("out/refused.wav"));
    // The focus mark is on the first row already: Home alone would not move it.
    pressKeys({"End", "Home"});
    whileDecodeFrozen(refused, kPlayed, [&] {
        QVERIFY(run(QStringLiteral("wmctrl"), {"-i", "-c", hexId(mainWindow)}).isEmpty());
        pressKeys({"alt+F4"});
    });
    confirmNotice();
    checkWav(refused, kPlayed);
    QVERIFY(stillRunning());
    QVERIFY(viewable(mainWindow));

    // A decode that finishes while the window is in the tray.
    const QString inTray = dir.filePath(QStringLiteral("out/in-tray.wav"));
    whileDecodeFrozen(inTray, kPlayed, [&] {
        QVERIFY(xdotool({"windowminimize", QString::number(mainWindow)}));
    });
    QVERIFY_POLL(!viewable(mainWindow));
    confirmNotice();
    checkWav(inTray, kPlayed);
    QVERIFY(stillRunning());
    WindowId icon = 0;
    QVERIFY_POLL((icon = dockedIcon()) != 0);
    clickIconAndWaitForWindow(icon);
    // Both rows are still there.
    pressKeys({"End", "ctrl+p"});
    QVERIFY_POLL(windowName(mainWindow) == QStringLiteral("Sorvano [%1]").arg(second));

    // The loop advance in the tray with no row selected: the notice, and
    // then the next row plays.
    pressKeys({"ctrl+space"});
    QVERIFY(xdotool({"windowminimize", QString::number(mainWindow)}));
    QVERIFY_POLL(!viewable(mainWindow));
    dismissBox(QStringLiteral("INFORMATION"));
    QVERIFY_POLL(windowName(mainWindow) == QStringLiteral("Sorvano [%1]").arg(played));
    QVERIFY(stillRunning());
    QVERIFY(!viewable(mainWindow));
}

void DesktopTest::trayGoingAwayBringsTheWindowBack()
{
    startProgram();
    QVERIFY(xdotool({"windowminimize", QString::number(mainWindow)}));
    QVERIFY_POLL(!rootList("_NET_CLIENT_LIST").contains(mainWindow));
    const auto docked = [&] {
        const QList<WindowId> tray = trayTree();
        for (WindowId id : ourWindows(true))
            if (tray.contains(id))
                return true;
        return false;
    };
    QVERIFY2(poll(docked), "no icon docked in the tray");

    // The tray's program ends: the window comes back to the taskbar,
    // minimised, and can be restored from there.
    const QList<WindowId> tray = trayWindows();
    QVERIFY(!tray.isEmpty());
    const qint64 trayPid =
        run(QStringLiteral("xdotool"), {"getwindowpid", QString::number(tray.constFirst())})
            .trimmed()
            .toLongLong();
    QVERIFY(trayPid > 0);
    QCOMPARE(::kill(pid_t(trayPid), SIGTERM), 0);
    QVERIFY_POLL(trayWindows().isEmpty());
    QVERIFY_POLL(rootList("_NET_CLIENT_LIST").contains(mainWindow));
    QVERIFY(run(QStringLiteral("xprop"), {"-id", hexId(mainWindow), "_NET_WM_STATE"})
                .contains("_NET_WM_STATE_HIDDEN"));
    QVERIFY(xdotool({"windowactivate", QString::number(mainWindow)}));
    QVERIFY_POLL(viewable(mainWindow) && activeWindow() == mainWindow);
    QVERIFY2(!poll([&] { return !viewable(mainWindow); }, 1500), "hidden again after the restore");

    pressKeys({"alt+F4"});
    QVERIFY(program.waitForFinished(kWait));
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
}

QTEST_GUILESS_MAIN(DesktopTest)
#include "tst_desktop.moc"
