#include "window/Prompts.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

// Runs `act` on the message box as soon as it is shown.
static void whenBoxShows(std::function<void(QMessageBox *)> act)
{
    auto *poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [poll, act] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *box = qobject_cast<QMessageBox *>(w);
            if (box && box->isVisible()) {
                poll->stop();
                poll->deleteLater();
                act(box);
                return;
            }
        }
    });
    poll->start(10);
}

class PromptsTest : public QObject
{
    Q_OBJECT

private slots:
    void boxesHaveNoOwnerAndLeaveTheWindowUsable();
    void captionsIconsAndButtons_data();
    void captionsIconsAndButtons();
    void queryAnswers_data();
    void queryAnswers();
    void errorReportIsOwnedByActiveWindow();
};

void PromptsTest::boxesHaveNoOwnerAndLeaveTheWindowUsable()
{
    QWidget window;
    window.show();
    int ticks = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(20);
    bool ownerless = false;
    bool windowUsable = false;
    whenBoxShows([&](QMessageBox *box) {
        ownerless = box->parentWidget() == nullptr && box->windowModality() == Qt::NonModal;
        windowUsable = window.isEnabled() && QApplication::activeModalWidget() == nullptr;
        QTimer::singleShot(150, box, [box] { box->button(QMessageBox::Ok)->click(); });
    });
    DesktopPrompts prompts;
    QCOMPARE(prompts.message(MessageKind::Information, "Please select one file."), Answer::Ok);
    QVERIFY(ownerless);
    QVERIFY(windowUsable);
    QVERIFY2(ticks >= 3, "timers keep running while the box waits");
}

void PromptsTest::captionsIconsAndButtons_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::newRow("error") << int(MessageKind::Error) << "ERROR" << int(QMessageBox::Critical)
                           << int(QMessageBox::Ok);
    QTest::newRow("information") << int(MessageKind::Information) << "INFORMATION"
                                 << int(QMessageBox::Information) << int(QMessageBox::Ok);
    QTest::newRow("query") << int(MessageKind::Query) << "QUERY" << int(QMessageBox::Question)
                           << int(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
}

void PromptsTest::captionsIconsAndButtons()
{
    QFETCH(int, kind);
    QFETCH(QString, caption);
    QFETCH(int, icon);
    QFETCH(int, buttons);
    QString seenCaption, seenText;
    int seenIcon = -1, seenButtons = -1;
    QAbstractButton *defaultButton = nullptr;
    bool yesIsDefault = false;
    whenBoxShows([&](QMessageBox *box) {
        seenCaption = box->windowTitle();
        seenText = box->text();
        seenIcon = box->icon();
        seenButtons = int(box->standardButtons());
        defaultButton = box->defaultButton();
        yesIsDefault = defaultButton == box->button(QMessageBox::Yes);
        box->defaultButton()->click();
    });
    DesktopPrompts prompts;
    const Answer answer = prompts.message(MessageKind(kind), "The text.");
    QCOMPARE(seenCaption, caption);
    QCOMPARE(seenText, QStringLiteral("The text."));
    QCOMPARE(seenIcon, icon);
    QCOMPARE(seenButtons, buttons);
    QVERIFY(defaultButton);
    if (MessageKind(kind) == MessageKind::Query) {
        QVERIFY(yesIsDefault);
        QCOMPARE(answer, Answer::Yes);
    } else {
        QCOMPARE(answer, Answer::Ok);
    }
}

void PromptsTest::queryAnswers_data()
{
    QTest::addColumn<int>("button");
    QTest::addColumn<int>("answer");
    QTest::newRow("yes") << int(QMessageBox::Yes) << int(Answer::Yes);
    QTest::newRow("no") << int(QMessageBox::No) << int(Answer::No);
    QTest::newRow("cancel") << int(QMessageBox::Cancel) << int(Answer::Cancel);
    QTest::newRow("closed") << -1 << int(Answer::Cancel);
}

void PromptsTest::queryAnswers()
{
    QFETCH(int, button);
    QFETCH(int, answer);
    whenBoxShows([button](QMessageBox *box) {
        if (button < 0)
            QTest::keyClick(box, Qt::Key_Escape);
        else
            box->button(QMessageBox::StandardButton(button))->click();
    });
    DesktopPrompts prompts;
    QCOMPARE(int(prompts.message(MessageKind::Query, "Overwrite?")), answer);
}

void PromptsTest::errorReportIsOwnedByActiveWindow()
{
    QWidget window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QWidget *owner = nullptr;
    QString caption;
    int icon = -1;
    whenBoxShows([&](QMessageBox *box) {
        owner = box->parentWidget();
        caption = box->windowTitle();
        icon = box->icon();
        box->button(QMessageBox::Ok)->click();
    });
    DesktopPrompts prompts;
    prompts.errorReport("Cannot create shell notification icon.");
    QCOMPARE(owner, &window);
    QCOMPARE(caption, QStringLiteral("Sorvano"));
    QCOMPARE(icon, int(QMessageBox::Critical));
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    PromptsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_prompts.moc"
