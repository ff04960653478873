// The window's Verify command on a scripted verifier: what it checks, what
// it reports, and the window locked out as for a decode while it runs.
#include "ExportTestSupport.h"
#include "WindowFixture.h"

#include <QAction>
#include <QLabel>
#include <QTimer>
#include <QToolButton>
#include <QtTest>
#include <atomic>
#include <thread>

using audio::VerifyOptions;
using audio::VerifyResult;
using Status = VerifyResult::Status;

namespace {

VerifyResult resultOf(Status status, bool md5Stored = true, int64_t failed = 0,
                      double firstSeconds = 0, const char *reason = "")
{
    VerifyResult r;
    r.status = status;
    r.md5Stored = md5Stored;
    r.md5Matches = md5Stored && status == Status::Intact;
    r.frames = 12;
    r.failedFrames = failed;
    r.firstFailedFrame = failed > 0 ? 3 : -1;
    r.firstFailedSeconds = firstSeconds;
    r.reason = reason;
    return r;
}

} // namespace

Q_DECLARE_METATYPE(VerifyResult)

class VerifyCommandTest : public QObject
{
    Q_OBJECT

    WindowFixture w;
    std::vector<std::string> verified;

    void start(int rows)
    {
        w.reset();
        verified.clear();
        w.create();
        w.form->show();
        w.prompts.openAnswers.push_back(w.makeFiles(rows));
        w.form->OpenToolButtonClick();
    }
    void verifyWith(const VerifyResult &result)
    {
        w.form->SetFileVerifier(
            [this, result](const std::filesystem::path &path, const VerifyOptions &) {
                verified.push_back(path.native());
                return result;
            });
    }
    int enabledCount() const
    {
        int n = 0;
        for (const char *name : kLockOut) {
            if (auto *action = w.child<QAction>(name))
                n += action->isEnabled();
            else
                n += w.child<QWidget>(name)->isEnabled();
        }
        return n;
    }
    QLabel *panel() const { return w.child<QLabel>("DecodePanel"); }

private slots:
    void cleanup() { w.form.reset(); }

    void noSelectionAsks()
    {
        start(2);
        verifyWith(resultOf(Status::Intact));
        w.clearSelection();
        w.child<QToolButton>("VerifyToolButton")->click();
        QCOMPARE(w.prompts.messageTexts(), QStringList{"Please select one file."});
        QCOMPARE(w.prompts.messages.first().kind, MessageKind::Information);
        QVERIFY(verified.empty());
    }

    void reports_data()
    {
        QTest::addColumn<VerifyResult>("result");
        QTest::addColumn<bool>("error");
        QTest::addColumn<QString>("text");
        QTest::newRow("intact") << resultOf(Status::Intact) << false
                                << "The file \"%1\" is intact.";
        QTest::newRow("no MD5") << resultOf(Status::Intact, false) << false
                                << "The file \"%1\" is intact (it stores no MD5; every frame "
                                   "passes its check).";
        QTest::newRow("damaged") << resultOf(Status::Damaged, true, 2, 83.9) << true
                                 << "The file \"%1\" is damaged: 2 of 12 frames fail their "
                                    "check, the first at 1:23.";
        QTest::newRow("unreadable")
            << resultOf(Status::Unreadable, false, 0, 0, "not an APE file") << true
            << "The file \"%1\" cannot be verified: not an APE file.";
    }

    void reports()
    {
        QFETCH(VerifyResult, result);
        QFETCH(bool, error);
        QFETCH(QString, text);
        start(2);
        verifyWith(result);
        w.select(1);
        QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
        w.list()->setFocus();
        // The popup menu's item, through its shortcut.
        QTest::keyClick(w.list(), Qt::Key_T, Qt::ControlModifier);
        QCOMPARE(verified, std::vector<std::string>{w.rowPath(1).toStdString()});
        QCOMPARE(w.prompts.messageTexts(), QStringList{text.arg(w.rowPath(1))});
        QCOMPARE(w.prompts.messages.first().kind,
                 error ? MessageKind::Error : MessageKind::Information);
        QVERIFY(panel()->isHidden());
        QCOMPARE(enabledCount(), 17);
    }

    void lockedOutWhileVerifying()
    {
        start(2);
        w.select(0);
        QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
        w.list()->setFocus();
        std::atomic<bool> release{false};
        std::atomic<int> calls{0};
        w.form->SetFileVerifier([&](const std::filesystem::path &, const VerifyOptions &options) {
            ++calls;
            options.progress(42);
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return resultOf(Status::Intact);
        });
        int enabledDuring = -1;
        bool closed = true, closeAllowed = true, controllable = true, timerRunning = false;
        QTimer watch;
        connect(&watch, &QTimer::timeout, this, [&] {
            if (panel()->text() != QStringLiteral("Verifying ... 42%") || release)
                return;
            enabledDuring = enabledCount();
            closeAllowed = w.form->FormCloseQuery();
            controllable = w.form->MediaPlayerCanControl();
            timerRunning = w.child<QTimer>("Timer")->isActive();
            closed = w.form->close();
            // Neither a second verify nor a decode starts.
            w.child<QAction>("VerifyMenuItem")->trigger();
            QTest::keyClick(w.list(), Qt::Key_T, Qt::ControlModifier);
            QTest::keyClick(w.list(), Qt::Key_D, Qt::ControlModifier);
            release = true;
        });
        watch.start(10);
        w.child<QToolButton>("VerifyToolButton")->click();

        QVERIFY(release);
        QCOMPARE(enabledDuring, 0);
        QVERIFY(!closeAllowed);
        QVERIFY(!controllable);
        QVERIFY(timerRunning);
        QVERIFY(!closed);
        QCOMPARE(calls.load(), 1);
        QVERIFY(w.prompts.proposedSavePaths.isEmpty());
        QCOMPARE(w.prompts.messageTexts(),
                 QStringList{QStringLiteral("The file \"%1\" is intact.").arg(w.rowPath(0))});
        QCOMPARE(enabledCount(), 17);
        QVERIFY(panel()->isHidden());
        QVERIFY(w.form->FormCloseQuery());
    }

    void failureReportedAndUnlocked()
    {
        start(1);
        w.select(0);
        w.form->SetFileVerifier(
            [](const std::filesystem::path &, const VerifyOptions &) -> VerifyResult {
                throw std::runtime_error("out of memory");
            });
        w.form->VerifyToolButtonClick();
        QCOMPARE(w.prompts.errorReports, QStringList{"out of memory."});
        QVERIFY(w.prompts.messages.isEmpty());
        QCOMPARE(enabledCount(), 17);
        QVERIFY(panel()->isHidden());
    }
};

SORVANO_WINDOW_TEST_MAIN(VerifyCommandTest)
#include "tst_verifycommand.moc"
