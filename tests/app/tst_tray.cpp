// Tray behaviour on a real X server (run by scripts/desktop-session.sh): with
// a window manager and a system tray, or with no tray at all. Clicks on the
// icon are real pointer events sent with xdotool through the tray.
#include "WindowFixture.h"

#include <QApplication>
#include <QHelpEvent>
#include <QLabel>
#include <QProcess>
#include <QSignalSpy>
#include <QSlider>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QToolTip>
#include <QtTest>

namespace {

// Counts how often a widget is hidden.
class HideCounter : public QObject
{
public:
    int hides = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        // Only hiding by the program: a minimise sends a spontaneous one.
        if (event->type() == QEvent::Hide && !event->spontaneous())
            ++hides;
        return false;
    }
};

QWidget *visibleTopLevel(const char *className)
{
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible() && qstrcmp(w->metaObject()->className(), className) == 0)
            return w;
    return nullptr;
}

// The icon's own window inside the tray, or null while it is not shown.
QWidget *iconWindow()
{
    return visibleTopLevel("QSystemTrayIconSys");
}

// Where the X server shows the window, or a null point while it does not:
// the icon's, once the tray has taken it in.
QPoint shownAt(QWidget *window)
{
    if (!window)
        return QPoint();
    QProcess info;
    info.start(QStringLiteral("xwininfo"), {"-id", QString::number(window->winId())});
    info.waitForFinished(5000);
    const QString out = QString::fromUtf8(info.readAllStandardOutput());
    if (!out.contains("IsViewable"))
        return QPoint();
    const auto field = [&](const char *name) {
        const int at = out.indexOf(QLatin1String(name));
        return at < 0 ? -1 : out.mid(at + int(strlen(name))).section('\n', 0, 0).trimmed().toInt();
    };
    return QPoint(field("Absolute upper-left X:"), field("Absolute upper-left Y:"));
}

// Whether the window is shown and has stopped moving: the tray lays its
// icons out again when one goes, so a new icon may still slide into place.
bool viewable(QWidget *window)
{
    const QPoint first = shownAt(window);
    if (first.isNull())
        return false;
    QTest::qWait(200);
    return shownAt(window) == first;
}

QWidget *balloon()
{
    return visibleTopLevel("QBalloonTip");
}

bool xdotool(const QStringList &args)
{
    return QProcess::execute(QStringLiteral("xdotool"), args) == 0;
}

// A real click of the given button on a window, near the middle of its lower
// edge: the balloon's arrow points at the middle of the icon and covers it.
bool clickOn(QWidget *window, int button)
{
    if (!window)
        return false;
    const QString id = QString::number(window->winId());
    return xdotool({"mousemove", "--window", id, QString::number(window->width() / 2),
                    QString::number(window->height() - 3), "sleep", "0.1", "click",
                    QString::number(button)});
}

// What Qt and the X server say of a window, for a failure's message.
QByteArray windowReport(QWidget *window)
{
    const auto xprop = [](const QStringList &args) {
        QProcess run;
        run.start(QStringLiteral("xprop"), args);
        run.waitForFinished(5000);
        return QString::fromUtf8(run.readAllStandardOutput()).simplified();
    };
    QWidget *active = QApplication::activeWindow();
    return QStringLiteral("state %1, visible %2, active window %3; window 0x%4: %5; root: %6")
        .arg(int(window->windowState()))
        .arg(window->isVisible())
        .arg(active ? active->metaObject()->className() : "none")
        .arg(window->winId(), 0, 16)
        .arg(xprop({"-id", QString::number(window->winId()), "WM_STATE", "_NET_WM_STATE"}),
             xprop({"-root", "_NET_ACTIVE_WINDOW"}))
        .toUtf8();
}

bool clickAt(QPoint global, int button)
{
    return xdotool({"mousemove", QString::number(global.x()), QString::number(global.y()), "sleep",
                    "0.1", "click", QString::number(button)});
}

} // namespace

class TrayTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QCoreApplication::setApplicationName(QStringLiteral("Sorvano")); }
    void init();
    void cleanup();
    // With a system tray.
    void minimiseGoesToTrayAndClickRestores();
    void balloonOnlyOnFirstMinimise();
    void otherClicksDoNothing();
    void hintStaysTitleAndTimerRunsInTray();
    void restoreNeverHidesAgain();
    void decodeGoesOnInTray();
    // Without one.
    void noTrayKeepsWindowOnTaskbar();
    void noTrayClickReportsAndShowsWindow();

private:
    void showForm();
    void minimise();
    void clickIcon();
    // A restore is over for the window manager's echoes after half a second.
    void settle() { QTest::qWait(600); }
    QSystemTrayIcon *tray() const { return w.child<QSystemTrayIcon>("TrayIcon"); }

    WindowFixture w;
    QTemporaryDir dir;
};

void TrayTest::init()
{
    w.form.reset();
    w.engine = ScriptedEngine();
    w.prompts = ScriptedPrompts();
}

void TrayTest::cleanup()
{
    w.form.reset();
    // Let the tray take the icon of the destroyed window away, and start the
    // next case with the pointer away from where the next icon will be.
    xdotool({"mousemove", "200", "200"});
    QTest::qWait(100);
}

void TrayTest::showForm()
{
    w.create();
    w.form->show();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
}

void TrayTest::minimise()
{
    w.form->showMinimized();
    QTRY_VERIFY(!w.form->isVisible());
    QTRY_VERIFY(viewable(iconWindow()));
}

void TrayTest::clickIcon()
{
    QTRY_VERIFY(viewable(iconWindow()));
    QVERIFY(clickOn(iconWindow(), 1));
    // A balloon placed before the tray moved the icon can lie over it and
    // take the click (which only closes the balloon); a user clicks again.
    if (!QTest::qWaitFor([&] { return w.form->isVisible(); }, 5000) && iconWindow()) {
        QTRY_VERIFY(viewable(iconWindow()));
        QVERIFY(clickOn(iconWindow(), 1));
    }
    QTRY_VERIFY_WITH_TIMEOUT(w.form->isVisible(), 10000);
    QTRY_VERIFY2(w.form->isActiveWindow(), windowReport(w.form.get()).constData());
    QVERIFY(!w.form->isMinimized());
    QVERIFY(!tray()->isVisible());
    QTRY_VERIFY(!iconWindow());
}

void TrayTest::minimiseGoesToTrayAndClickRestores()
{
    QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());
    showForm();
    QVERIFY(!tray()->isVisible());
    QVERIFY(!iconWindow());

    minimise();
    QVERIFY(tray()->isVisible());
    QVERIFY(w.form->isMinimized());
    QVERIFY(w.prompts.errorReports.isEmpty());

    clickIcon();
    QCOMPARE(w.form->windowState() & Qt::WindowMinimized, Qt::WindowNoState);
    QVERIFY(w.prompts.errorReports.isEmpty());
}

void TrayTest::balloonOnlyOnFirstMinimise()
{
    showForm();
    QVERIFY(!w.form->BalloonShown());
    minimise();
    QTRY_VERIFY(balloon());
    QVERIFY(w.form->BalloonShown());
    QStringList texts;
    for (QLabel *label : balloon()->findChildren<QLabel *>())
        texts << label->text();
    QVERIFY2(texts.contains("Restoring the window."), qPrintable(texts.join('|')));
    QVERIFY(texts.contains("Click the system tray icon to restore the window."));

    // A click on the balloon closes it and does nothing else.
    QVERIFY(clickAt(balloon()->mapToGlobal(balloon()->rect().center()), 1));
    QTRY_VERIFY(!balloon());
    QTest::qWait(300);
    QVERIFY(!w.form->isVisible());
    QVERIFY(tray()->isVisible());

    clickIcon();
    settle();
    minimise();
    QTest::qWait(500);
    QVERIFY(!balloon());
    QVERIFY(w.form->BalloonShown());
    clickIcon();
}

void TrayTest::otherClicksDoNothing()
{
    showForm();
    minimise();
    QSignalSpy activations(tray(), &QSystemTrayIcon::activated);
    QVERIFY(clickOn(iconWindow(), 3));
    QVERIFY(clickOn(iconWindow(), 2));
    // Both clicks reached the icon, and neither brought the window back.
    QTRY_COMPARE(activations.size(), 2);
    QCOMPARE(activations.at(0).at(0).value<QSystemTrayIcon::ActivationReason>(),
             QSystemTrayIcon::Context);
    QCOMPARE(activations.at(1).at(0).value<QSystemTrayIcon::ActivationReason>(),
             QSystemTrayIcon::MiddleClick);
    QTest::qWait(300);
    QVERIFY(!w.form->isVisible());
    QVERIFY(tray()->isVisible());
    QVERIFY(iconWindow());
    // Reasons other than a left click, whatever tray sends them.
    for (auto reason : {QSystemTrayIcon::Context, QSystemTrayIcon::MiddleClick,
                        QSystemTrayIcon::DoubleClick, QSystemTrayIcon::Unknown})
        emit tray()->activated(reason);
    QTest::qWait(100);
    QVERIFY(!w.form->isVisible());
    clickIcon();
}

void TrayTest::hintStaysTitleAndTimerRunsInTray()
{
    showForm();
    const QString path = dir.filePath("playing.ape");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    w.prompts.openAnswers.push_back(QStringList{path});
    w.form->OpenToolButtonClick();
    w.select(0);
    w.form->PlayToolButtonClick();
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(path));

    minimise();
    QCOMPARE(tray()->toolTip(), QStringLiteral("Sorvano"));
    // The tooltip request a hover over the icon gives shows the hint.
    QWidget *icon = iconWindow();
    QHelpEvent hover(QEvent::ToolTip, QPoint(2, 2), icon->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(icon, &hover);
    QTRY_VERIFY_WITH_TIMEOUT(visibleTopLevel("QTipLabel"), 5000);
    QCOMPARE(qobject_cast<QLabel *>(visibleTopLevel("QTipLabel"))->text(),
             QStringLiteral("Sorvano"));
    // The tip would sit over the icon and take the next click.
    QToolTip::hideText();
    QTRY_VERIFY(!visibleTopLevel("QTipLabel"));

    // Playback goes on, and so does the timer that moves the seek bar.
    auto *bar = w.child<QSlider>("TrackBar");
    w.engine.stream(w.rowStream(0))->position = 500000;
    QTRY_COMPARE_WITH_TIMEOUT(bar->value(), 50, 2000);
    QVERIFY(w.engine.stream(w.rowStream(0))->playing);
    QVERIFY(!w.form->isVisible());
    clickIcon();
}

void TrayTest::restoreNeverHidesAgain()
{
    showForm();
    minimise();
    HideCounter counter;
    w.form->installEventFilter(&counter);
    clickIcon();
    // Some window managers pass through minimised on the way back.
    w.form->setWindowState(w.form->windowState() | Qt::WindowMinimized);
    QTest::qWait(50);
    w.form->setWindowState(w.form->windowState() & ~Qt::WindowMinimized);
    QTest::qWait(300);
    QCOMPARE(counter.hides, 0);
    QVERIFY(w.form->isVisible());
    QVERIFY(!tray()->isVisible());
    w.form->removeEventFilter(&counter);

    // Once settled, a minimise by the user goes to the tray again.
    settle();
    w.form->activateWindow();
    minimise();
    counter.hides = 0;
    w.form->installEventFilter(&counter);
    clickIcon();
    // Others take the minimised state of the map for the last word and
    // leave the window minimised on the taskbar: it is asked back.
    w.form->setWindowState(w.form->windowState() | Qt::WindowMinimized);
    QTRY_VERIFY2(!w.form->isMinimized(), windowReport(w.form.get()).constData());
    QTRY_VERIFY2(w.form->isActiveWindow(), windowReport(w.form.get()).constData());
    QVERIFY(w.form->isVisible());
    QVERIFY(!tray()->isVisible());
    QCOMPARE(counter.hides, 0);
    w.form->removeEventFilter(&counter);
}

void TrayTest::decodeGoesOnInTray()
{
    showForm();
    const QString source = dir.filePath("decoded.ape");
    QFile file(source);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    std::vector<uint8_t> pcm(1000000);
    for (size_t i = 0; i < pcm.size(); ++i)
        pcm[i] = static_cast<uint8_t>(i * 7);
    w.engine.dataForPath[source.toStdU16String()] = pcm;
    w.prompts.openAnswers.push_back(QStringList{source});
    w.form->OpenToolButtonClick();
    w.select(0);

    const QString wav = dir.filePath("decoded.wav");
    w.prompts.saveAnswers.push_back(wav);
    int blocks = 0;
    // The user minimises a few blocks into the decode.
    w.engine.onGetData = [&](audio::StreamHandle) {
        if (++blocks == 5)
            w.form->showMinimized();
    };
    bool hiddenAtNotice = false;
    bool iconAtNotice = false;
    w.prompts.whileWaiting = [&](const ScriptedPrompts::Shown &) {
        hiddenAtNotice = !w.form->isVisible();
        iconAtNotice = tray()->isVisible();
    };
    w.form->DecodeToolButtonClick();
    QCOMPARE(w.prompts.messageTexts(),
             QStringList({QStringLiteral("Done, the output file is \"%1\".").arg(wav)}));
    QVERIFY(hiddenAtNotice);
    QVERIFY(iconAtNotice);
    QVERIFY(w.prompts.errorReports.isEmpty());
    QCOMPARE(QFileInfo(wav).size(), qint64(44 + pcm.size()));
    w.engine.onGetData = nullptr;
    clickIcon();
}

void TrayTest::noTrayKeepsWindowOnTaskbar()
{
    QVERIFY2(!QSystemTrayIcon::isSystemTrayAvailable(), "this case needs a desktop without a tray");
    showForm();
    HideCounter counter;
    w.form->installEventFilter(&counter);
    w.form->showMinimized();
    QTRY_COMPARE(w.prompts.errorReports, QStringList({"Cannot create shell notification icon."}));
    QTest::qWait(200);
    QCOMPARE(counter.hides, 0);
    QVERIFY(w.form->isVisible());
    QVERIFY(w.form->isMinimized());
    QVERIFY(!tray()->isVisible());
    QVERIFY(!w.form->BalloonShown());

    // Every further minimise reports again and still keeps the window.
    w.form->showNormal();
    QTRY_VERIFY(!w.form->isMinimized());
    w.form->showMinimized();
    QTRY_COMPARE(w.prompts.errorReports.size(), 2);
    QCOMPARE(counter.hides, 0);
    QVERIFY(w.form->isVisible());
    w.form->removeEventFilter(&counter);
}

void TrayTest::noTrayClickReportsAndShowsWindow()
{
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    showForm();
    w.form->hide();
    emit tray()->activated(QSystemTrayIcon::Trigger);
    QCOMPARE(w.prompts.errorReports, QStringList({"Cannot remove shell notification icon."}));
    QVERIFY(w.form->isVisible());
    QVERIFY(!tray()->isVisible());
}

QTEST_MAIN(TrayTest)
#include "tst_tray.moc"
