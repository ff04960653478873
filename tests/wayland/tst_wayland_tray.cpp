// The tray on a Wayland session (run by scripts/desktop-session.sh --weston
// --dbus): Qt's Wayland plugin on a headless weston, and the tray's services
// from StatusNotifierWatcher, started here when a case wants a tray. The
// minimise is the request Qt's own title bar makes of the window; the click
// on the icon is the Activate call a tray sends its item.
#include "WindowFixture.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusMessage>
#include <QDir>
#include <QImage>
#include <QProcess>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QWindow>
#include <QtTest>

class WaylandTrayTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    // With a tray; Qt looks for one only once a run.
    void minimiseGoesToTrayAndActivateRestores();
    // Without one, in a run of its own.
    void noTrayLeavesWindowToCompositor();

private:
    void showForm();
    // What the minimise button of Qt's own title bar asks of the window.
    void minimiseAsTitleBar() { w.form->windowHandle()->setWindowState(Qt::WindowMinimized); }
    QStringList registeredItems() const;
    // How much of the screen the window's white list covers, in pixels, as
    // weston's own screenshot shows it.
    int whiteOnScreen();
    QSystemTrayIcon *tray() const { return w.child<QSystemTrayIcon>("TrayIcon"); }

    WindowFixture w;
    QProcess watcher;
};

void WaylandTrayTest::initTestCase()
{
    QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
    QVERIFY(QDBusConnection::sessionBus().isConnected());
}

void WaylandTrayTest::cleanup()
{
    w.form.reset();
    watcher.kill();
    watcher.waitForFinished();
}

void WaylandTrayTest::showForm()
{
    w.reset();
    w.create();
    w.form->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));
}

QStringList WaylandTrayTest::registeredItems() const
{
    QDBusInterface props(QStringLiteral("org.kde.StatusNotifierWatcher"),
                         QStringLiteral("/StatusNotifierWatcher"),
                         QStringLiteral("org.freedesktop.DBus.Properties"));
    const QDBusMessage reply =
        props.call(QStringLiteral("Get"), QStringLiteral("org.kde.StatusNotifierWatcher"),
                   QStringLiteral("RegisteredStatusNotifierItems"));
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().constFirst().value<QDBusVariant>().variant().toStringList();
}

int WaylandTrayTest::whiteOnScreen()
{
    QTemporaryDir shots;
    QProcess shooter;
    shooter.setWorkingDirectory(shots.path());
    shooter.start(QStringLiteral("weston-screenshooter"), {});
    // The compositor answers only while this client's events are handled.
    if (!QTest::qWaitFor([&] { return shooter.state() == QProcess::NotRunning; }, 10000))
        return -1;
    const QStringList files = QDir(shots.path()).entryList({QStringLiteral("*.png")});
    if (files.isEmpty())
        return -1;
    const QImage screen(shots.filePath(files.constFirst()));
    int white = 0;
    for (int y = 0; y < screen.height(); y += 2)
        for (int x = 0; x < screen.width(); x += 2)
            white += (screen.pixel(x, y) & 0xffffff) == 0xffffff;
    return white * 4;
}

void WaylandTrayTest::minimiseGoesToTrayAndActivateRestores()
{
    watcher.start(QStringLiteral(SORVANO_WATCHER), {});
    QVERIFY(watcher.waitForStarted());
    QTRY_VERIFY(QDBusConnection::sessionBus().interface()->isServiceRegistered(
        QStringLiteral("org.kde.StatusNotifierWatcher")));
    QVERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    showForm();
    QVERIFY(registeredItems().isEmpty());
    QTRY_VERIFY(whiteOnScreen() > 100000);

    minimiseAsTitleBar();
    QTRY_VERIFY(!w.form->isVisible());
    QVERIFY(tray()->isVisible());
    QTRY_COMPARE(registeredItems().size(), 1);
    QTRY_COMPARE(whiteOnScreen(), 0);
    // The balloon is the desktop's notification.
    QByteArray notifications;
    QTRY_VERIFY2((notifications += watcher.readAllStandardOutput())
                     .contains("notification: Restoring the window.|Click the system tray icon "
                               "to restore the window.|3000"),
                 notifications.constData());

    // The tray's click, from another client of the bus, as a tray sends it.
    const QString item = registeredItems().constFirst();
    QDBusConnection host =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("host"));
    host.asyncCall(QDBusMessage::createMethodCall(item.section('/', 0, 0), "/StatusNotifierItem",
                                                  "org.kde.StatusNotifierItem", "Activate")
                   << 0 << 0);
    QTRY_VERIFY(w.form->isVisible());
    QVERIFY(QTest::qWaitForWindowExposed(w.form.get()));
    QVERIFY(!w.form->isMinimized());
    QTRY_VERIFY(whiteOnScreen() > 100000);
    QVERIFY(!tray()->isVisible());
    QTRY_VERIFY(registeredItems().isEmpty());
    QCOMPARE(watcher.state(), QProcess::Running);

    // Into the tray again, and the tray goes away: the window comes back to
    // the compositor, minimised (which Qt never reports back), so not on
    // the screen.
    minimiseAsTitleBar();
    QTRY_VERIFY(!w.form->isVisible());
    QTRY_COMPARE(registeredItems().size(), 1);
    watcher.kill();
    QVERIFY(watcher.waitForFinished());
    QTRY_VERIFY(w.form->isVisible());
    QVERIFY(!tray()->isVisible());
    QTRY_COMPARE(whiteOnScreen(), 0);
    QCOMPARE(w.prompts.errorReports, QStringList());
    QDBusConnection::disconnectFromBus(QStringLiteral("host"));
}

void WaylandTrayTest::noTrayLeavesWindowToCompositor()
{
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    showForm();
    QTRY_VERIFY(whiteOnScreen() > 100000);
    minimiseAsTitleBar();
    // The compositor has it, and the window was not hidden.
    QTRY_COMPARE(whiteOnScreen(), 0);
    QTest::qWait(300);
    QVERIFY(w.form->isVisible());
    QVERIFY(!tray()->isVisible());
    QCOMPARE(w.prompts.errorReports, QStringList());
    QVERIFY(w.prompts.messages.isEmpty());
    // And the window's own minimise says nothing either.
    w.form->showMinimized();
    QTest::qWait(500);
    QVERIFY(w.form->isVisible());
    QCOMPARE(w.prompts.errorReports, QStringList());
    QVERIFY(w.prompts.messages.isEmpty());
}

SORVANO_WINDOW_TEST_MAIN(WaylandTrayTest)
#include "tst_wayland_tray.moc"
