#include "WindowFixture.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QHeaderView>
#include <QLabel>
#include <QMenu>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <algorithm>

class PlayerFormTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void componentsAndTexts();
    void popupMenuItems();
    void designGeometry();
    void designGeometryAt120Dpi();
    void followsResize();
    void toolBarWraps();
    void shortcutsActOnlyOnList();
    void disabledShortcutDoesNothing();
    void tabMovesBetweenListAndLoop();
    void popupMenuOpensFromMouseAndKeyboard();
    void closeRefusedWhileExitDisabled();
    void exitCloses();
    void wrongVersionEndsStartup_data();
    void wrongVersionEndsStartup();
    void initFailureLeavesWorkingWindow();
    void shutdownFreesRowsInOrderThenEngine();
    void errorReportAppendsFullStop();
    void setBarClampsAndSkipsSameValue();

private:
    WindowFixture w;
};

void PlayerFormTest::init()
{
    w.reset();
}

void PlayerFormTest::componentsAndTexts()
{
    w.create();
    TPlayerForm &form = *w.form;
    QCOMPARE(form.objectName(), QStringLiteral("PlayerForm"));
    QCOMPARE(form.windowTitle(), QStringLiteral("Sorvano"));

    const QStringList buttons = {"OpenToolButton", "DeleteToolButton", "PlayToolButton",
                                 "StopToolButton", "DecodeToolButton", "VerifyToolButton",
                                 "ExitToolButton"};
    const QStringList captions = {"Open", " Delete ", "Play", "Stop", "Decode", "Verify", "Exit"};
    for (int i = 0; i < buttons.size(); ++i) {
        auto *button = w.child<QToolButton>(buttons[i].toLatin1());
        QVERIFY2(button, qPrintable(buttons[i]));
        QCOMPARE(button->text(), captions[i]);
        QCOMPARE(button->size(), QSize(51, 24));
        QVERIFY(button->isEnabled());
        QCOMPARE(button->parentWidget()->objectName(), QStringLiteral("ToolBar"));
    }
    for (const char *separator : {"ToolButton4", "ToolButton7", "ToolButton1", "ToolButton2",
                                  "ToolButton3", "ToolButton8", "ToolButton6"})
        QCOMPARE(w.child<QWidget>(separator)->width(), 8);
    QCOMPARE(w.child<QWidget>("ToolBar")->parentWidget()->objectName(), QStringLiteral("Panel4"));
    QCOMPARE(w.child<QWidget>("Panel4")->parentWidget()->objectName(), QStringLiteral("Panel3"));
    QCOMPARE(w.child<QWidget>("TrackBar")->parentWidget()->objectName(), QStringLiteral("Panel1"));
    QCOMPARE(w.child<QWidget>("LoopCheckBox")->parentWidget()->objectName(),
             QStringLiteral("Panel2"));

    QTreeView *list = w.list();
    QCOMPARE(list->model()->headerData(0, Qt::Horizontal).toString(), QStringLiteral("APE Files"));
    QCOMPARE(list->model()->headerData(1, Qt::Horizontal).toString(), QStringLiteral("File Size"));
    QCOMPARE(list->selectionMode(), QAbstractItemView::SingleSelection);
    QVERIFY(!list->header()->sectionsClickable());
    QCOMPARE(list->editTriggers(), QAbstractItemView::NoEditTriggers);

    auto *bar = w.child<QSlider>("TrackBar");
    QCOMPARE(bar->minimum(), 0);
    QCOMPARE(bar->maximum(), 100);
    QCOMPARE(bar->singleStep(), 1);
    QCOMPARE(bar->pageStep(), 2);
    QCOMPARE(bar->value(), 0);
    QCOMPARE(bar->tickInterval(), 100);
    QCOMPARE(bar->focusPolicy(), Qt::ClickFocus);

    auto *loop = w.child<QCheckBox>("LoopCheckBox");
    QCOMPARE(loop->text(), QStringLiteral("Loop"));
    QVERIFY(loop->isChecked());

    auto *panel = w.child<QLabel>("DecodePanel");
    QVERIFY(panel->isHidden());
    QVERIFY(panel->text().isEmpty());
    QCOMPARE(panel->alignment(), Qt::AlignCenter);

    auto *timer = w.child<QTimer>("Timer");
    QVERIFY(timer->isActive());
    QCOMPARE(timer->interval(), 500);

    auto *status = w.child<QStatusBar>("StatusBar");
    QVERIFY(status->isSizeGripEnabled());
    QCOMPARE(w.child<QLabel>("StatusPanel1")->text(), QStringLiteral("https://sorvano.example/"));
    QCOMPARE(w.child<QLabel>("StatusPanel2")->text(), QStringLiteral("Freeware"));
    QVERIFY(w.child<QLabel>("StatusPanel3")->text().isEmpty());
    QCOMPARE(w.child<QLabel>("StatusPanel1")->width(), qRound(200 * form.LayoutScale()));
    QCOMPARE(w.child<QLabel>("StatusPanel2")->width(), qRound(100 * form.LayoutScale()));

    auto *tray = w.child<QSystemTrayIcon>("TrayIcon");
    QVERIFY(tray);
    QVERIFY(!tray->isVisible());
    QCOMPARE(tray->toolTip(), QStringLiteral("Sorvano"));
    QVERIFY(!form.windowIcon().isNull());
    QVERIFY(!form.acceptDrops());
}

void PlayerFormTest::popupMenuItems()
{
    w.create();
    auto *menu = w.child<QMenu>("PopupMenu");
    QStringList texts;
    QStringList shortcuts;
    for (QAction *a : menu->actions()) {
        texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
        shortcuts << a->shortcut().toString(QKeySequence::PortableText);
    }
    QCOMPARE(texts, QStringList({"&Open...", "-", "&Delete", "-", "&Play", "&Stop", "-", "D&ecode",
                                 "&Verify", "-", "E&xit"}));
    QCOMPARE(shortcuts, QStringList({"Ctrl+O", "", "Del", "", "Ctrl+P", "Ctrl+S", "", "Ctrl+D",
                                     "Ctrl+T", "", ""}));
    QCOMPARE(menu->actions().at(1)->objectName(), QStringLiteral("N1"));
    QCOMPARE(menu->actions().at(8)->objectName(), QStringLiteral("VerifyMenuItem"));
    QCOMPARE(menu->actions().at(10)->objectName(), QStringLiteral("ExitMenuItem"));
}

namespace {
// Rectangles of the 120-dpi design, scaled to the screen the test runs on.
QRect scaled(const TPlayerForm &form, int x, int y, int width, int height)
{
    const double s = form.LayoutScale();
    return QRect(qRound(x * s), qRound(y * s), qRound(width * s), qRound(height * s));
}
} // namespace

void PlayerFormTest::designGeometry()
{
    w.create();
    const TPlayerForm &form = *w.form;
    if (form.logicalDpiY() == 120)
        QCOMPARE(form.LayoutScale(), 1.0);
    else
        QVERIFY(form.LayoutScale() != 1.0);
    const auto s = [&](int v) { return qRound(v * form.LayoutScale()); };
    // Seven buttons and separators of fixed size: below 120 dpi the window
    // widens past the design's width so that Exit stays in the strip.
    const int width = std::max(s(782), s(340) + 7 * (51 + 8));
    const int height = s(505);
    QCOMPARE(form.size(), QSize(width, height));
    // The status bar keeps 19 pixels at every density; the list takes the rest.
    QCOMPARE(w.child<QWidget>("StatusBar")->geometry(), QRect(0, height - 19, width, 19));
    QCOMPARE(w.child<QWidget>("ListView")->geometry(), QRect(0, s(30), width, height - s(30) - 19));
    QCOMPARE(w.child<QWidget>("Panel3")->geometry(), QRect(0, 0, width, s(30)));
    QCOMPARE(w.child<QWidget>("Panel4")->geometry(), QRect(0, 0, width - s(340), s(30)));
    QCOMPARE(w.child<QWidget>("Panel1")->geometry(),
             QRect(width - s(2) - s(263), s(4), s(263), s(24)));
    QCOMPARE(w.child<QWidget>("Panel2")->geometry(),
             QRect(width - s(269) - s(64), s(2), s(64), s(26)));
    QCOMPARE(w.child<QWidget>("TrackBar")->geometry(), scaled(form, -2, -2, 266, 28));
    QCOMPARE(w.child<QWidget>("LoopCheckBox")->geometry(), scaled(form, 7, 4, 53, 17));
    QCOMPARE(w.child<QWidget>("DecodePanel")->geometry(), scaled(form, 292, 216, 185, 41));
    // Toolbar buttons keep their size at every density.
    QCOMPARE(w.child<QWidget>("OpenToolButton")->geometry(), QRect(0, 0, 51, 24));
    QCOMPARE(w.child<QWidget>("DeleteToolButton")->pos(), QPoint(59, 0));
    QCOMPARE(w.child<QWidget>("VerifyToolButton")->pos(), QPoint(295, 0));
    QCOMPARE(w.child<QWidget>("ExitToolButton")->pos(), QPoint(354, 0));
    QCOMPARE(w.list()->columnWidth(0), s(500));
    QCOMPARE(w.list()->columnWidth(1), s(100));
}

void PlayerFormTest::designGeometryAt120Dpi()
{
    w.create();
    if (w.form->logicalDpiY() != 120)
        QSKIP("needs a 120-dpi screen (QT_FONT_DPI=120, QT_ENABLE_HIGHDPI_SCALING=0)");
    QCOMPARE(w.form->size(), QSize(782, 505));
    QCOMPARE(w.child<QWidget>("ListView")->geometry(), QRect(0, 30, 782, 456));
    QCOMPARE(w.child<QWidget>("StatusBar")->geometry(), QRect(0, 486, 782, 19));
    QCOMPARE(w.child<QWidget>("Panel4")->geometry(), QRect(0, 0, 442, 30));
    QCOMPARE(w.child<QWidget>("ToolBar")->geometry(), QRect(0, 0, 442, 24));
    QCOMPARE(w.child<QWidget>("ExitToolButton")->pos(), QPoint(354, 0));
    QCOMPARE(w.child<QWidget>("ToolButton6")->pos(), QPoint(405, 0));
    QCOMPARE(w.child<QWidget>("Panel1")->geometry(), QRect(517, 4, 263, 24));
    QCOMPARE(w.child<QWidget>("Panel2")->geometry(), QRect(449, 2, 64, 26));
    QCOMPARE(w.child<QWidget>("DecodePanel")->geometry(), QRect(292, 216, 185, 41));
}

void PlayerFormTest::followsResize()
{
    w.create();
    w.form->show();
    const QRect list = w.child<QWidget>("ListView")->geometry();
    const QRect status = w.child<QWidget>("StatusBar")->geometry();
    const QRect holder = w.child<QWidget>("Panel4")->geometry();
    const QRect seek = w.child<QWidget>("Panel1")->geometry();
    const QRect loop = w.child<QWidget>("Panel2")->geometry();
    const QRect panel = w.child<QWidget>("DecodePanel")->geometry();
    w.form->resize(w.form->width() + 100, w.form->height() + 50);
    QCOMPARE(w.child<QWidget>("ListView")->geometry(), list.adjusted(0, 0, 100, 50));
    QCOMPARE(w.child<QWidget>("StatusBar")->geometry(),
             status.translated(0, 50).adjusted(0, 0, 100, 0));
    QCOMPARE(w.child<QWidget>("Panel4")->geometry(), holder.adjusted(0, 0, 100, 0));
    QCOMPARE(w.child<QWidget>("Panel1")->geometry(), seek.translated(100, 0));
    QCOMPARE(w.child<QWidget>("Panel2")->geometry(), loop.translated(100, 0));
    QCOMPARE(w.child<QWidget>("DecodePanel")->geometry(), panel);
}

void PlayerFormTest::toolBarWraps()
{
    w.create();
    w.form->show();
    const int stripHeight = w.child<QWidget>("Panel3")->height();
    auto *holder = w.child<QWidget>("Panel4");
    w.form->resize(w.form->width() - holder->width() + 160, w.form->height());
    auto *toolBar = w.child<QWidget>("ToolBar");
    QCOMPARE(toolBar->width(), 160);
    QCOMPARE(w.child<QWidget>("OpenToolButton")->pos(), QPoint(0, 0));
    QCOMPARE(w.child<QWidget>("DeleteToolButton")->pos(), QPoint(59, 0));
    // Play (51 wide) no longer fits after the second separator, at 118.
    QCOMPARE(w.child<QWidget>("PlayToolButton")->pos(), QPoint(0, 24));
    QVERIFY(toolBar->height() >= 48);
    QCOMPARE(w.child<QWidget>("Panel3")->height(), stripHeight); // cuts the second row off
}

void PlayerFormTest::shortcutsActOnlyOnList()
{
    w.create();
    w.form->show();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
    QCOMPARE(QApplication::focusWidget(), w.list());

    QTest::keyClick(w.list(), Qt::Key_Delete);
    QCOMPARE(w.prompts.messageTexts(), QStringList{"Please select one file."});
    QTest::keyClick(w.list(), Qt::Key_P, Qt::ControlModifier);
    QTest::keyClick(w.list(), Qt::Key_S, Qt::ControlModifier);
    QTest::keyClick(w.list(), Qt::Key_D, Qt::ControlModifier);
    QTest::keyClick(w.list(), Qt::Key_T, Qt::ControlModifier);
    QCOMPARE(w.prompts.messages.size(), 5);
    QTest::keyClick(w.list(), Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(w.prompts.openDialogs, 1);

    auto *loop = w.child<QCheckBox>("LoopCheckBox");
    loop->setFocus();
    for (auto key : {Qt::Key_O, Qt::Key_P, Qt::Key_S, Qt::Key_D, Qt::Key_T})
        QTest::keyClick(loop, key, Qt::ControlModifier);
    QTest::keyClick(loop, Qt::Key_Delete);
    auto *bar = w.child<QSlider>("TrackBar");
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_Delete);
    QTest::keyClick(bar, Qt::Key_P, Qt::ControlModifier);
    QCOMPARE(w.prompts.messages.size(), 5);
    QCOMPARE(w.prompts.openDialogs, 1);
}

void PlayerFormTest::disabledShortcutDoesNothing()
{
    w.create();
    w.form->show();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
    w.child<QAction>("DeleteMenuItem")->setEnabled(false);
    QTest::keyClick(w.list(), Qt::Key_Delete);
    QVERIFY(w.prompts.messages.isEmpty());
}

void PlayerFormTest::tabMovesBetweenListAndLoop()
{
    w.create();
    w.form->show();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
    auto *loop = w.child<QCheckBox>("LoopCheckBox");
    QCOMPARE(QApplication::focusWidget(), w.list());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), loop);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), w.list());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), loop);
}

void PlayerFormTest::popupMenuOpensFromMouseAndKeyboard()
{
    w.create();
    w.form->show();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
    auto *menu = w.child<QMenu>("PopupMenu");
    auto *loop = w.child<QCheckBox>("LoopCheckBox");

    loop->setFocus();
    const QPoint at(40, 40);
    QContextMenuEvent mouse(QContextMenuEvent::Mouse, at, w.list()->viewport()->mapToGlobal(at));
    QApplication::sendEvent(w.list()->viewport(), &mouse);
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(menu->pos(), w.list()->viewport()->mapToGlobal(at));
    QCOMPARE(QApplication::focusWidget(), w.list());
    menu->hide();

    // From the keyboard with nothing selected: the list's top-left corner.
    QTest::keyClick(w.list(), Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(menu->isVisible());
    QCOMPARE(menu->pos(), w.list()->viewport()->mapToGlobal(QPoint(0, 0)));
    menu->hide();

    // A disabled list opens no menu.
    w.list()->setEnabled(false);
    QApplication::sendEvent(w.list()->viewport(), &mouse);
    QTest::qWait(20);
    QVERIFY(!menu->isVisible());
}

void PlayerFormTest::closeRefusedWhileExitDisabled()
{
    w.create();
    w.form->show();
    w.child<QToolButton>("ExitToolButton")->setEnabled(false);
    QVERIFY(!w.form->FormCloseQuery());
    QVERIFY(!w.form->close());
    QVERIFY(w.form->isVisible());
    w.child<QToolButton>("ExitToolButton")->setEnabled(true);
    QVERIFY(w.form->close());
}

void PlayerFormTest::exitCloses()
{
    w.create();
    w.form->show();
    QTest::mouseClick(w.child<QToolButton>("ExitToolButton"), Qt::LeftButton);
    QVERIFY(!w.form->isVisible());
    QVERIFY(w.prompts.messages.isEmpty());
}

void PlayerFormTest::wrongVersionEndsStartup_data()
{
    QTest::addColumn<uint>("version");
    QTest::newRow("2.3") << 0x02030000u;
    QTest::newRow("2.5") << 0x02050000u;
}

void PlayerFormTest::wrongVersionEndsStartup()
{
    QFETCH(uint, version);
    w.engine.version = version;
    w.create();
    QVERIFY(w.form->StartupAborted());
    QCOMPARE(w.prompts.messages.size(), 1);
    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Error);
    QCOMPARE(w.prompts.messages[0].text,
             QStringLiteral("An incorrect version of the audio library was loaded."));
    QVERIFY(!w.form->isVisible());
    w.form.reset();
    QCOMPARE(w.engine.calls, (std::vector<std::string>{"GetVersion", "Free"}));
}

void PlayerFormTest::initFailureLeavesWorkingWindow()
{
    w.engine.initResult = false;
    w.create();
    QVERIFY(!w.form->StartupAborted());
    QCOMPARE(w.engine.callsStartingWith("Init"), std::vector<std::string>{"Init -1 44100 0"});
    QCOMPARE(w.prompts.messageTexts(), QStringList{"Error initializing audio."});
    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Error);

    // Every stream operation now fails with its own message.
    const QString path = w.makeFile(QStringLiteral("a.ape"));
    w.prompts.openAnswers.push_back(QStringList{path});
    w.form->OpenToolButtonClick();
    QCOMPARE(w.prompts.messageTexts().last(), QStringLiteral("Error load the \"%1\".").arg(path));
    QCOMPARE(w.rowCount(), 0);
}

void PlayerFormTest::shutdownFreesRowsInOrderThenEngine()
{
    const QStringList paths = w.makeFiles(3);
    w.create();
    w.prompts.openAnswers.push_back(paths);
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), 3);
    const std::vector<std::string> expected = {"StreamFree " + std::to_string(w.rowStream(0)),
                                               "StreamFree " + std::to_string(w.rowStream(1)),
                                               "StreamFree " + std::to_string(w.rowStream(2)),
                                               "Free"};
    w.engine.calls.clear();
    w.form.reset();
    QCOMPARE(w.engine.calls, expected);
}

void PlayerFormTest::errorReportAppendsFullStop()
{
    QCOMPARE(errorReportText("Cannot create shell notification icon"),
             QStringLiteral("Cannot create shell notification icon."));
    QCOMPARE(errorReportText("Ends with digit 5"), QStringLiteral("Ends with digit 5."));
    QCOMPARE(errorReportText("Already."), QStringLiteral("Already."));
    QCOMPARE(errorReportText("Quoted \"x\""), QStringLiteral("Quoted \"x\""));
    QCOMPARE(errorReportText(QString()), QString());
}

void PlayerFormTest::setBarClampsAndSkipsSameValue()
{
    // Program-made bar changes never seek: nothing is current, so the engine
    // sees no position change even with the bar focused.
    w.create();
    auto *bar = w.child<QSlider>("TrackBar");
    bar->setFocus();
    w.form->show();
    bar->setValue(150);
    QCOMPARE(bar->value(), 100);
    QVERIFY(w.engine.callsStartingWith("ChannelSetPosition").empty());
}

SORVANO_WINDOW_TEST_MAIN(PlayerFormTest)

#include "tst_playerform.moc"
