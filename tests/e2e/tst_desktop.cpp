// The real sorvano binary on a private desktop (run by
// scripts/desktop-session.sh with openbox, trayer and a PulseAudio null
// sink). The program runs as a process of its own and is driven only from
// outside, with real key and pointer events sent by xdotool through the X
// server. What it does is read back from the outside too: window names and
// map states, the window manager's client and stacking lists, the tray's
// window tree, screenshots taken with ImageMagick's import, the files it
// writes and its exit status. Screenshots go to SORVANO_SHOTS.
#include "DesktopDriver.h"
#include "Manifest.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>
#include <csignal>
#include <functional>

namespace {

// Thirty seconds: long enough to watch the seek bar move and to catch the
// decode in progress.
const char *const kPlayed = "s16-stereo-44k-long-c2000.ape";
const char *const kSecond = "s16-stereo-44k-c2000.ape";
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

} // namespace

class DesktopTest : public QObject, private DesktopDriver
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void wholeProgram();
    void interruptEndsCleanlyWithDialogOpen();
    void terminationDuringDecodeFinishesTheFile();
    void closingBoxesOrAskingToCloseKeepsItRunning();
    void verifyReportsAndEndsInTray();
    // Takes the tray away: must stay last.
    void trayGoingAwayBringsTheWindowBack();

private:
    void startDecode(const QStringList &commandKeys, const QString &destination);
    void startDecodeAndFreeze(const QStringList &commandKeys, const QString &destination,
                              const char *fixture, bool &frozen);
    void confirmNotice();
    // Freezes a running decode, has fn done to the frozen program, and lets
    // it go on.
    void whileDecodeFrozen(const QString &wavPath, const char *fixture,
                           const std::function<void()> &fn);
    void checkWav(const QString &wavPath, const char *fixture);
    // Of one window, or of the whole screen for window 0.
    QImage screenshot(WindowId id, const QString &name = QString());
    qint64 pcmBytes(const char *fixture) const;

    QTemporaryDir dir;
    QString shots;
    Manifest manifest;
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
    stopSorvano(program_);
    // The pointer waits where it neither hovers the window nor the tray.
    xdotool({"mousemove", "1", "1"});
}

void DesktopTest::startDecode(const QStringList &commandKeys, const QString &destination)
{
    waitActive(mainWindow_);
    pressKeys(commandKeys);
    answerFileDialog(destination);
}

// The decode starts the moment the dialog is confirmed and may take only a
// fraction of a second, so the file is watched from the Return on.
void DesktopTest::startDecodeAndFreeze(const QStringList &commandKeys, const QString &destination,
                                       const char *fixture, bool &frozen)
{
    waitActive(mainWindow_);
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

void DesktopTest::whileDecodeFrozen(const QString &wavPath, const char *fixture,
                                    const std::function<void()> &fn)
{
    bool frozen = false;
    startDecodeAndFreeze({"ctrl+d"}, wavPath, fixture, frozen);
    QVERIFY2(frozen, "the decode was never caught running");
    fn();
    // What the desktop sent meanwhile waits in the program's queue.
    QThread::msleep(500);
    ::kill(pid_t(program_.processId()), SIGCONT);
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

void DesktopTest::wholeProgram()
{
    startProgram();
    const QString played = dir.filePath(kPlayed);
    const QString second = dir.filePath(kSecond);
    xdotool({"mousemove", "1", "1"});

    // Two files through the open dialog, typed together as full paths.
    addFiles({played, second});
    const QImage normal = screenshot(mainWindow_, QStringLiteral("normal"));
    QVERIFY(!normal.isNull());

    // Play the first row: the caption names it and the seek bar moves on.
    pressKeys({"Home", "ctrl+p"});
    const QString caption = QStringLiteral("Sorvano [%1]").arg(played);
    QVERIFY_POLL(windowName(mainWindow_) == caption);
    QVERIFY_POLL(handleEdge(screenshot(mainWindow_), normal) > 0);
    const int started = handleEdge(screenshot(mainWindow_), normal);
    QVERIFY_POLL(handleEdge(screenshot(mainWindow_), normal) > started);
    const QImage playing = screenshot(mainWindow_, QStringLiteral("playing"));
    const int beforeTray = handleEdge(playing, normal);
    QVERIFY(beforeTray > started);

    // Minimise with the window manager: the window and its taskbar entry
    // leave, an icon of the program's docks in the tray (none was there
    // before), with the first-time balloon beside it.
    QVERIFY(rootList("_NET_CLIENT_LIST").contains(mainWindow_));
    const QList<WindowId> trayBefore = trayTree();
    for (WindowId id : ourWindows(false))
        QVERIFY2(!trayBefore.contains(id), "an icon was in the tray before the first minimise");
    QVERIFY(xdotool({"windowminimize", QString::number(mainWindow_)}));
    QVERIFY_POLL(!viewable(mainWindow_));
    QVERIFY_POLL(!rootList("_NET_CLIENT_LIST").contains(mainWindow_));
    // The balloon lasts three seconds: it is looked for, and photographed,
    // in the same round as the icon.
    WindowId icon = 0, balloon = 0;
    QImage screen;
    const auto findIconAndBalloon = [&] {
        const QList<WindowId> tray = trayTree();
        for (WindowId id : ourWindows(true)) {
            if (tray.contains(id))
                icon = id;
            else if (id != mainWindow_)
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
    QVERIFY(!viewable(mainWindow_));

    // A left click on the icon brings the window back: mapped, listed,
    // active and on top; the icon goes.
    clickIconAndWaitForWindow(icon);
    QVERIFY_POLL(rootList("_NET_CLIENT_LIST").contains(mainWindow_));
    QVERIFY_POLL(topWindow() == mainWindow_);
    QVERIFY_POLL(!ourWindows(true).contains(icon));
    // Playback and the timer went on while the window was in the tray.
    QVERIFY_POLL(handleEdge(screenshot(mainWindow_), normal) > beforeTray);

    // Decode the playing row from the popup menu (its Decode item has the
    // access key E) into a typed destination. The progress panel is
    // photographed with the program frozen half-way through.
    const QString typedWav = dir.filePath(QStringLiteral("out/played.wav"));
    waitActive(mainWindow_);
    pressKeys({"Home", "shift+F10"});
    QVERIFY_POLL(ourWindows(true).size() > 1); // the menu
    bool frozen = false;
    startDecodeAndFreeze({"e"}, typedWav, kPlayed, frozen);
    QVERIFY2(frozen, "the decode was never caught running");
    const qint64 wavSize = 44 + pcmBytes(kPlayed);
    const pid_t pid = pid_t(program_.processId());
    const auto panelShown = [&](const QImage &window) {
        return changedPixels(window, normal, listMiddle(window)).size() > 100;
    };
    // The program may have painted the panel without having handed it to
    // the X server yet: let it run a little and look again.
    bool panelSeen = false;
    for (int attempt = 0; attempt < 20 && !panelSeen; ++attempt) {
        if (attempt > 0 && !freezeMidDecode(typedWav, wavSize))
            break;
        const QImage decoding = screenshot(mainWindow_);
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
        const QImage decoding = screenshot(mainWindow_);
        if (panelShown(decoding))
            decoding.save(QDir(shots).filePath(QStringLiteral("decoding.png")));
        ::kill(pid, SIGCONT);
    }
    confirmNotice();
    checkWav(typedWav, kPlayed);

    // The second row with Ctrl+D, accepting the proposed name: its own path
    // with the extension .wav.
    waitActive(mainWindow_);
    pressKeys({"End"});
    startDecode({"ctrl+d"}, QString());
    confirmNotice();
    checkWav(dir.filePath(QString::fromLatin1(kSecond).replace(".ape", ".wav")), kSecond);

    // Closing the window (the window manager's Alt+F4) ends the program_.
    waitActive(mainWindow_);
    pressKeys({"alt+F4"});
    QVERIFY(program_.waitForFinished(kWait));
    QCOMPARE(program_.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program_.exitCode(), 0);
}

// Ctrl+C in a terminal, the session ending: the program leaves the dialog
// and ends as if its window had been closed.
void DesktopTest::interruptEndsCleanlyWithDialogOpen()
{
    startProgram();
    pressKeys({"ctrl+o"});
    QVERIFY_POLL(newActiveWindow() != 0);
    ::kill(pid_t(program_.processId()), SIGINT);
    QVERIFY(program_.waitForFinished(kWait));
    QCOMPARE(program_.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program_.exitCode(), 0);
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
    const pid_t pid = pid_t(program_.processId());
    ::kill(pid, SIGTERM);
    ::kill(pid, SIGCONT);
    QVERIFY(program_.waitForFinished(kWait));
    QCOMPARE(program_.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program_.exitCode(), 0);
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
        QVERIFY(run(QStringLiteral("wmctrl"), {"-i", "-c", hexId(mainWindow_)}).isEmpty());
        pressKeys({"alt+F4"});
    });
    confirmNotice();
    checkWav(refused, kPlayed);
    QVERIFY(stillRunning());
    QVERIFY(viewable(mainWindow_));

    // A decode that finishes while the window is in the tray.
    const QString inTray = dir.filePath(QStringLiteral("out/in-tray.wav"));
    whileDecodeFrozen(inTray, kPlayed, [&] {
        QVERIFY(xdotool({"windowminimize", QString::number(mainWindow_)}));
    });
    QVERIFY_POLL(!viewable(mainWindow_));
    confirmNotice();
    checkWav(inTray, kPlayed);
    QVERIFY(stillRunning());
    WindowId icon = 0;
    QVERIFY_POLL((icon = dockedIcon()) != 0);
    clickIconAndWaitForWindow(icon);
    // Both rows are still there.
    pressKeys({"End", "ctrl+p"});
    QVERIFY_POLL(windowName(mainWindow_) == QStringLiteral("Sorvano [%1]").arg(second));

    // The loop advance in the tray with no row selected: the notice, and
    // then the next row plays.
    pressKeys({"ctrl+space"});
    QVERIFY(xdotool({"windowminimize", QString::number(mainWindow_)}));
    QVERIFY_POLL(!viewable(mainWindow_));
    dismissBox(QStringLiteral("INFORMATION"));
    QVERIFY_POLL(windowName(mainWindow_) == QStringLiteral("Sorvano [%1]").arg(played));
    QVERIFY(stillRunning());
    QVERIFY(!viewable(mainWindow_));
}

// Verify from the popup menu and from its shortcut: an intact file's notice
// and a damaged one's error; one that ends while the window waits in the
// tray shows its notice there, and the window comes back from the tray.
void DesktopTest::verifyReportsAndEndsInTray()
{
    startProgram();
    QFile source(dir.filePath(kSecond));
    QVERIFY(source.open(QIODevice::ReadOnly));
    QByteArray bytes = source.readAll();
    bytes[bytes.size() / 2] = char(bytes[bytes.size() / 2] ^ 0x08);
    QFile damaged(dir.filePath(QStringLiteral("damaged.ape")));
    QVERIFY(damaged.open(QIODevice::WriteOnly) && damaged.write(bytes) == bytes.size());
    damaged.close();
    addFiles({dir.filePath(kPlayed), damaged.fileName()});

    pressKeys({"End", "Home", "shift+F10", "v"});
    dismissBox(QStringLiteral("INFORMATION"));
    waitActive(mainWindow_);
    pressKeys({"End", "ctrl+t"});
    dismissBox(QStringLiteral("ERROR"));
    waitActive(mainWindow_);
    pressKeys({"Home", "ctrl+t"});
    QVERIFY(xdotool({"windowminimize", QString::number(mainWindow_)}));
    QVERIFY_POLL(!viewable(mainWindow_));
    dismissBox(QStringLiteral("INFORMATION"));
    QVERIFY(stillRunning());
    WindowId icon = 0;
    QVERIFY_POLL((icon = dockedIcon()) != 0);
    clickIconAndWaitForWindow(icon);
    QVERIFY(viewable(mainWindow_));
}

void DesktopTest::trayGoingAwayBringsTheWindowBack()
{
    startProgram();
    // Once there and back first: what the first trip leaves behind must not
    // change where the later ones end.
    QVERIFY(xdotool({"windowminimize", QString::number(mainWindow_)}));
    WindowId icon = 0;
    QVERIFY_POLL((icon = dockedIcon()) != 0);
    clickIconAndWaitForWindow(icon);

    // Twice, the second time with a tray started anew: the tray's program
    // ends while the window waits in it, and the window comes back to the
    // taskbar, minimised, and can be restored from there.
    QProcess newTray;
    for (int round = 0; round < 2; ++round) {
        if (round == 1) {
            newTray.start(QStringLiteral("trayer"),
                          {"--edge", "bottom", "--align", "right", "--widthtype", "request",
                           "--height", "32", "--SetDockType", "true", "--transparent", "false"});
            QVERIFY_POLL(!trayWindows().isEmpty());
        }
        QVERIFY(xdotool({"windowminimize", QString::number(mainWindow_)}));
        QVERIFY_POLL(!rootList("_NET_CLIENT_LIST").contains(mainWindow_));
        QVERIFY2(poll([&] { return dockedIcon() != 0; }), "no icon docked in the tray");
        const QList<WindowId> tray = trayWindows();
        QVERIFY(!tray.isEmpty());
        const qint64 trayPid =
            run(QStringLiteral("xdotool"), {"getwindowpid", QString::number(tray.constFirst())})
                .trimmed()
                .toLongLong();
        QVERIFY(trayPid > 0);
        QCOMPARE(::kill(pid_t(trayPid), SIGTERM), 0);
        QVERIFY_POLL(trayWindows().isEmpty());
        QVERIFY_POLL(rootList("_NET_CLIENT_LIST").contains(mainWindow_));
        QVERIFY2(run(QStringLiteral("xprop"), {"-id", hexId(mainWindow_), "_NET_WM_STATE"})
                     .contains("_NET_WM_STATE_HIDDEN"),
                 qPrintable(QStringLiteral("on screen after the tray went, round %1").arg(round)));
        QVERIFY(xdotool({"windowactivate", QString::number(mainWindow_)}));
        QVERIFY_POLL(viewable(mainWindow_) && activeWindow() == mainWindow_);
        QVERIFY2(!poll([&] { return !viewable(mainWindow_); }, 1500),
                 "hidden again after the restore");
    }
    newTray.waitForFinished(kWait);

    pressKeys({"alt+F4"});
    QVERIFY(program_.waitForFinished(kWait));
    QCOMPARE(program_.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program_.exitCode(), 0);
}

QTEST_GUILESS_MAIN(DesktopTest)
#include "tst_desktop.moc"
