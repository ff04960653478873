// Playback through the real window on the real engine (SDL's dummy driver).
#include "Manifest.h"
#include "RealWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QString kFixture = fixturePath("s16-stereo-44k-c2000.ape");
const QString kOther = fixturePath("s16-mono-22k-c2000.ape");
constexpr int64_t kFixtureBytes = 529200; // 3 s of 16-bit stereo at 44100 Hz

} // namespace

class PlaybackRealTest : public QObject, private RealWindow
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void playsAdvancesAndSeeks();
    void queuedRowKeepsEveryCommandsMeaning();
};

void PlaybackRealTest::init()
{
    showWindow();
}

void PlaybackRealTest::cleanup()
{
    form.reset();
}

void PlaybackRealTest::playsAdvancesAndSeeks()
{
    QVERIFY2(prompts.messages.isEmpty(), "the engine starts on the dummy driver");
    open(QStringList{kFixture, kOther});
    QCOMPARE(rowCount(), 2);
    select(0);

    form->PlayToolButtonClick();
    QCOMPARE(form->CurrentIndex(), 0);
    QCOMPARE(form->CurrentLength(), kFixtureBytes);
    QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(kFixture));

    // The bar follows the position as the timer ticks.
    auto *bar = form->findChild<QSlider *>(QStringLiteral("TrackBar"));
    QTRY_VERIFY_WITH_TIMEOUT(bar->value() >= 10, 3000);

    // A user move of the bar to 80 makes playback jump there.
    bar->setFocus();
    bar->setSliderDown(true);
    bar->setSliderPosition(80);
    bar->setSliderDown(false);
    const int64_t target = kFixtureBytes * 80 / 100;
    const int64_t afterSeek = engine.ChannelGetPosition(rowStream(0), audio::kPosByte);
    QVERIFY2(afterSeek >= target - 4 * 44100 / 5 && afterSeek <= target + 4 * 44100 / 5,
             qPrintable(QString::number(afterSeek)));

    // With Loop ticked the end of the row starts the next one.
    QVERIFY(form->findChild<QCheckBox *>(QStringLiteral("LoopCheckBox"))->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(form->CurrentIndex(), int64_t(1), 4000);
    QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(kOther));
    QVERIFY(engine.ChannelIsActive(rowStream(1)) != audio::kActiveStopped);
    QCOMPARE(engine.ChannelIsActive(rowStream(0)), audio::kActiveStopped);
    QVERIFY(prompts.messages.isEmpty());
}

// The gapless advance: with Loop ticked the row after the current one is
// queued in the engine, and everything that changes the list or the playback
// meanwhile keeps its meaning.
void PlaybackRealTest::queuedRowKeepsEveryCommandsMeaning()
{
    open(QStringList{kFixture, kOther, kFixture, kOther});
    QCOMPARE(rowCount(), 4);
    auto *loop = form->findChild<QCheckBox *>(QStringLiteral("LoopCheckBox"));
    const auto queuedAfter = [&](int row) { return engine.ChannelGetNext(rowStream(row)); };
    const auto active = [&](int row) { return engine.ChannelIsActive(rowStream(row)); };
    // Every fixture here lasts 3 s: a fifth of a second before the end.
    const auto seekNearEnd = [&](int row) {
        const int64_t length = engine.ChannelGetLength(rowStream(row), audio::kPosByte);
        form->MediaPlayerSeek(length - length / 15 / 4 * 4);
    };
    select(0);
    form->PlayToolButtonClick();
    QTRY_COMPARE_WITH_TIMEOUT(queuedAfter(0), rowStream(1), 2000);
    QCOMPARE(active(1), audio::kActiveStopped);

    // A seek near the end; the next row takes over and the window follows.
    QSignalSpy changed(form.get(), &TPlayerForm::MediaPlayerChanged);
    seekNearEnd(0);
    QTRY_COMPARE_WITH_TIMEOUT(form->CurrentIndex(), int64_t(1), 3000);
    QCOMPARE(selectedIndex(), 1);
    QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(kOther));
    QCOMPARE(form->CurrentLength(), engine.ChannelGetLength(rowStream(1), audio::kPosByte));
    QCOMPARE(active(0), audio::kActiveStopped);
    QCOMPARE(active(1), audio::kActivePlaying);
    QTRY_COMPARE_WITH_TIMEOUT(queuedAfter(1), rowStream(2), 2000);
    QVERIFY(changed.count() > 0);
    QVERIFY(prompts.messages.isEmpty());

    // No selection at the advance: it asks as its Stop would, the state
    // already on the row that is heard, then selects that row.
    clearSelection();
    int64_t currentWhileAsked = -1;
    prompts.whileWaiting = [&](const ScriptedPrompts::Shown &) {
        currentWhileAsked = form->CurrentIndex();
    };
    seekNearEnd(1);
    QTRY_COMPARE_WITH_TIMEOUT(selectedIndex(), 2, 3000);
    QCOMPARE(prompts.messageTexts(), QStringList{"Please select one file."});
    QCOMPARE(currentWhileAsked, int64_t(2));
    QCOMPARE(form->CurrentIndex(), int64_t(2));
    prompts.whileWaiting = nullptr;
    prompts.messages.clear();

    // Pause drops the queue; resume plays on from where it was held and
    // queues the next row again.
    form->MediaPlayerPause();
    QCOMPARE(active(2), audio::kActivePaused);
    QCOMPARE(queuedAfter(2), 0u);
    const int64_t held = engine.ChannelGetPosition(rowStream(2), audio::kPosByte);
    form->MediaPlayerPlay();
    QCOMPARE(active(2), audio::kActivePlaying);
    QVERIFY(engine.ChannelGetPosition(rowStream(2), audio::kPosByte) >= held);
    QTRY_COMPARE_WITH_TIMEOUT(queuedAfter(2), rowStream(3), 2000);

    // Delete of the queued row: the row after it (wrapping) is queued instead.
    select(3);
    form->DeleteToolButtonClick();
    QCOMPARE(rowCount(), 3);
    QCOMPARE(form->CurrentIndex(), int64_t(2));
    QCOMPARE(queuedAfter(2), rowStream(0));

    // Unticked Loop: the row ends and nothing follows; ticked again, the
    // design's advance goes on from the end.
    loop->setChecked(false);
    QCOMPARE(queuedAfter(2), 0u);
    seekNearEnd(2);
    QTRY_COMPARE_WITH_TIMEOUT(active(2), audio::kActiveStopped, 3000);
    QTest::qWait(700);
    QCOMPARE(form->CurrentIndex(), int64_t(2));
    QCOMPARE(active(0), audio::kActiveStopped);
    loop->setChecked(true);
    QTRY_COMPARE_WITH_TIMEOUT(form->CurrentIndex(), int64_t(0), 3000);
    QCOMPARE(active(0), audio::kActivePlaying);
    QTRY_COMPARE_WITH_TIMEOUT(queuedAfter(0), rowStream(1), 2000);

    // Play on another row: the queued one never starts.
    select(2);
    form->PlayToolButtonClick();
    QCOMPARE(form->CurrentIndex(), int64_t(2));
    QCOMPARE(active(0), audio::kActiveStopped);
    QCOMPARE(active(1), audio::kActiveStopped);
    QTRY_COMPARE_WITH_TIMEOUT(queuedAfter(2), rowStream(0), 2000);

    // A decode of the current row whose dialog waits while the row ends:
    // the next row takes over, and the decode leaves it playing.
    QTemporaryDir dir;
    prompts.saveAnswers.push_back(dir.filePath(QStringLiteral("out.wav")));
    prompts.whileSaveDialogWaits = [&] {
        seekNearEnd(2);
        QTRY_COMPARE_WITH_TIMEOUT(form->CurrentIndex(), int64_t(0), 3000);
    };
    form->DecodeToolButtonClick();
    prompts.whileSaveDialogWaits = nullptr;
    QCOMPARE(QFileInfo(dir.filePath(QStringLiteral("out.wav"))).size(), 44 + kFixtureBytes);
    QCOMPARE(form->CurrentIndex(), int64_t(0));
    QCOMPARE(active(0), audio::kActivePlaying);
    QCOMPARE(active(2), audio::kActiveStopped);
    QTRY_COMPARE_WITH_TIMEOUT(queuedAfter(0), rowStream(1), 2000);

    // Delete of the current row stops it, and what was queued never starts.
    select(0);
    form->DeleteToolButtonClick();
    QCOMPARE(form->CurrentIndex(), int64_t(-1));
    QTest::qWait(300);
    for (int row = 0; row < rowCount(); ++row)
        QCOMPARE(active(row), audio::kActiveStopped);

    // Stop: nothing plays and nothing follows.
    select(0);
    form->PlayToolButtonClick();
    QTRY_COMPARE_WITH_TIMEOUT(queuedAfter(0), rowStream(1), 2000);
    form->StopToolButtonClick();
    QCOMPARE(queuedAfter(0), 0u);
    QTest::qWait(300);
    QCOMPARE(active(0), audio::kActiveStopped);
    QCOMPARE(active(1), audio::kActiveStopped);
}

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    PlaybackRealTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_playback_real.moc"
