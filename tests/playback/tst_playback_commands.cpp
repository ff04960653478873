#include "WindowFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QSlider>
#include <QTemporaryDir>
#include <QtTest>

class PlaybackCommandsTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void playAndStopNeedSelection();
    void playStartsSelectedRowFromBeginning();
    void stopActsOnCurrentRowNotSelected();
    void stopWithNothingCurrentDoesNothing();
    void playOfAnotherRowStopsTheFirst();
    void failedPlayLeavesNothingCurrent();
    void titleShowsPathLiterally();
    void tickMovesBar_data();
    void tickMovesBar();
    void tickNeverSeeks();
    void endAdvancesToNextRowWrapping();
    void endWithSingleRowRestartsIt();
    void endWithoutLoopStays();
    void oneByteShortDoesNotAdvance();
    void advanceWithoutSelectionAsksThenPlays();
    void tickDuringAdvanceBoxStartsNoSecondAdvance();
    void seekThresholds_data();
    void seekThresholds();
    void seekNeedsBarFocusAndCurrentRow();
    void programSetBarClampsAndSkipsSameValue();
    void zeroOrErrorLengthNeitherDividesNorSeeks();

private:
    void addRows(int count, int64_t length = 1000000);
    void moveBarByUser(int value);
    QSlider *bar() const { return w.child<QSlider>("TrackBar"); }
    audio::StreamHandle stream(int row) const { return w.rowStream(row); }
    void setPosition(int row, int64_t position)
    {
        w.engine.stream(stream(row))->position = position;
    }

    WindowFixture w;
};

void PlaybackCommandsTest::init()
{
    w.reset();
    w.create();
    w.form->show();
}

void PlaybackCommandsTest::addRows(int count, int64_t length)
{
    const QStringList paths = w.makeFiles(count);
    for (const QString &path : paths)
        w.engine.lengthForPath[path.toStdU16String()] = length;
    w.prompts.openAnswers.push_back(paths);
    w.form->OpenToolButtonClick();
    QCOMPARE(w.rowCount(), count);
}

void PlaybackCommandsTest::moveBarByUser(int value)
{
    bar()->setFocus();
    bar()->setSliderDown(true);
    bar()->setSliderPosition(value);
    bar()->setSliderDown(false);
}

void PlaybackCommandsTest::playAndStopNeedSelection()
{
    addRows(2);
    w.select(0);
    w.form->PlayToolButtonClick();
    w.clearSelection();
    w.form->PlayToolButtonClick();
    w.form->StopToolButtonClick();
    QCOMPARE(w.prompts.messageTexts(),
             QStringList({"Please select one file.", "Please select one file."}));
    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Information);
    QCOMPARE(w.form->CurrentIndex(), 0);
    QVERIFY(w.engine.stream(stream(0))->playing);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(w.rowPath(0)));
}

void PlaybackCommandsTest::playStartsSelectedRowFromBeginning()
{
    addRows(2, 800000);
    w.select(1);
    w.form->PlayToolButtonClick();
    QCOMPARE(w.form->CurrentIndex(), 1);
    QCOMPARE(w.form->CurrentLength(), 800000);
    setPosition(1, 400000);
    w.form->TimerTimer();
    QCOMPARE(bar()->value(), 50);
    // Play on the playing row restarts it.
    w.form->PlayToolButtonClick();
    QCOMPARE(w.engine.stream(stream(1))->position, 0);
    QCOMPARE(bar()->value(), 0);
    QCOMPARE(w.form->CurrentIndex(), 1);
}

void PlaybackCommandsTest::stopActsOnCurrentRowNotSelected()
{
    addRows(3);
    w.select(0);
    w.form->PlayToolButtonClick();
    setPosition(0, 500000);
    w.form->TimerTimer();
    w.select(2);
    w.engine.calls.clear();
    w.form->StopToolButtonClick();
    QCOMPARE(w.engine.callsStartingWith("ChannelStop"),
             std::vector<std::string>{"ChannelStop " + std::to_string(stream(0))});
    QCOMPARE(w.form->CurrentIndex(), -1);
    QCOMPARE(w.form->CurrentLength(), -1);
    QCOMPARE(bar()->value(), 0);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano"));
}

void PlaybackCommandsTest::stopWithNothingCurrentDoesNothing()
{
    addRows(1);
    w.engine.calls.clear();
    w.form->StopToolButtonClick();
    QVERIFY(w.engine.calls.empty());
    QVERIFY(w.prompts.messages.isEmpty());
}

void PlaybackCommandsTest::playOfAnotherRowStopsTheFirst()
{
    addRows(3);
    w.select(0);
    w.form->PlayToolButtonClick();
    w.select(2);
    w.form->PlayToolButtonClick();
    QVERIFY(!w.engine.stream(stream(0))->playing);
    QVERIFY(w.engine.stream(stream(2))->playing);
    QCOMPARE(w.form->CurrentIndex(), 2);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(w.rowPath(2)));
}

void PlaybackCommandsTest::failedPlayLeavesNothingCurrent()
{
    addRows(2);
    w.select(0);
    w.form->PlayToolButtonClick();
    setPosition(0, 500000);
    w.form->TimerTimer();
    w.engine.playResult = false;
    w.select(1);
    w.form->PlayToolButtonClick();
    QCOMPARE(w.prompts.messageTexts(),
             QStringList{QStringLiteral("Error playing the file \"%1\".").arg(w.rowPath(1))});
    QCOMPARE(w.prompts.messages[0].kind, MessageKind::Error);
    QCOMPARE(w.form->CurrentIndex(), -1);
    QCOMPARE(bar()->value(), 0);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano"));
    QVERIFY(!w.engine.stream(stream(0))->playing);
}

void PlaybackCommandsTest::titleShowsPathLiterally()
{
    const QString path = w.makeFile(QStringLiteral("odd [*] name.ape"));
    w.prompts.openAnswers.push_back(QStringList{path});
    w.form->OpenToolButtonClick();
    w.form->PlayToolButtonClick();
    QCOMPARE(w.form->windowHandle()->title(), QStringLiteral("Sorvano [%1]").arg(path));
}

void PlaybackCommandsTest::tickMovesBar_data()
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<int>("value");
    QTest::newRow("12.5") << qint64(100000) << 12;
    QTest::newRow("37.5") << qint64(300000) << 38;
    QTest::newRow("87.5") << qint64(700000) << 88;
}

void PlaybackCommandsTest::tickMovesBar()
{
    QFETCH(qint64, position);
    QFETCH(int, value);
    addRows(1, 800000);
    w.form->PlayToolButtonClick();
    setPosition(0, position);
    w.form->TimerTimer();
    QCOMPARE(bar()->value(), value);
}

void PlaybackCommandsTest::tickNeverSeeks()
{
    addRows(1);
    w.form->PlayToolButtonClick();
    bar()->setFocus();
    setPosition(0, 730000);
    w.form->TimerTimer();
    QCOMPARE(bar()->value(), 73);
    w.form->StopToolButtonClick();
    QVERIFY(w.engine.callsStartingWith("ChannelSetPosition").empty());
}

void PlaybackCommandsTest::endAdvancesToNextRowWrapping()
{
    addRows(3, 800000);
    w.select(2);
    w.form->PlayToolButtonClick();
    setPosition(2, 800000);
    w.form->TimerTimer();
    QCOMPARE(w.form->CurrentIndex(), 0);
    QCOMPARE(w.selectedIndex(), 0);
    QVERIFY(!w.engine.stream(stream(2))->playing);
    QVERIFY(w.engine.stream(stream(0))->playing);
    QCOMPARE(bar()->value(), 0);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(w.rowPath(0)));
    setPosition(0, 800000);
    w.form->TimerTimer();
    QCOMPARE(w.form->CurrentIndex(), 1);
}

void PlaybackCommandsTest::endWithSingleRowRestartsIt()
{
    addRows(1);
    w.form->PlayToolButtonClick();
    setPosition(0, 1000000);
    w.engine.calls.clear();
    w.form->TimerTimer();
    QCOMPARE(w.engine.callsStartingWith("Channel"),
             (std::vector<std::string>{"ChannelStop " + std::to_string(stream(0)),
                                       "ChannelPlay " + std::to_string(stream(0))}));
    QCOMPARE(w.form->CurrentIndex(), 0);
}

void PlaybackCommandsTest::endWithoutLoopStays()
{
    addRows(2);
    w.child<QCheckBox>("LoopCheckBox")->setChecked(false);
    w.form->PlayToolButtonClick();
    setPosition(1, 1000000);
    w.form->TimerTimer();
    w.form->TimerTimer();
    QCOMPARE(w.form->CurrentIndex(), 1);
    QCOMPARE(bar()->value(), 100);
    QCOMPARE(w.form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(w.rowPath(1)));
    // Ticking Loop later advances at the next tick.
    w.child<QCheckBox>("LoopCheckBox")->setChecked(true);
    w.form->TimerTimer();
    QCOMPARE(w.form->CurrentIndex(), 0);
}

void PlaybackCommandsTest::oneByteShortDoesNotAdvance()
{
    addRows(2);
    w.form->PlayToolButtonClick();
    setPosition(1, 999999);
    w.form->TimerTimer();
    QCOMPARE(w.form->CurrentIndex(), 1);
    QCOMPARE(bar()->value(), 100);
}

void PlaybackCommandsTest::advanceWithoutSelectionAsksThenPlays()
{
    addRows(2);
    w.select(0);
    w.form->PlayToolButtonClick();
    w.clearSelection();
    setPosition(0, 1000000);
    w.form->TimerTimer();
    QCOMPARE(w.prompts.messageTexts(), QStringList{"Please select one file."});
    QCOMPARE(w.form->CurrentIndex(), 1);
    QVERIFY(!w.engine.stream(stream(0))->playing);
    QVERIFY(w.engine.stream(stream(1))->playing);
}

void PlaybackCommandsTest::tickDuringAdvanceBoxStartsNoSecondAdvance()
{
    addRows(3);
    w.select(0);
    w.form->PlayToolButtonClick();
    w.clearSelection();
    setPosition(0, 1000000);
    int nested = 0;
    w.prompts.whileWaiting = [&](const ScriptedPrompts::Shown &) {
        // Ticks keep coming while the box waits.
        ++nested;
        w.form->TimerTimer();
        w.form->TimerTimer();
    };
    w.form->TimerTimer();
    QCOMPARE(nested, 1);
    QCOMPARE(w.form->CurrentIndex(), 1); // one advance, not three
    QCOMPARE(w.engine.callsStartingWith("ChannelPlay").size(), size_t(2));
}

void PlaybackCommandsTest::seekThresholds_data()
{
    QTest::addColumn<qint64>("position");
    QTest::addColumn<bool>("seeks");
    QTest::newRow("490000") << qint64(490000) << false;
    QTest::newRow("510000") << qint64(510000) << false;
    QTest::newRow("489999") << qint64(489999) << true;
    QTest::newRow("510001") << qint64(510001) << true;
}

void PlaybackCommandsTest::seekThresholds()
{
    QFETCH(qint64, position);
    QFETCH(bool, seeks);
    addRows(1, 1000000);
    w.form->PlayToolButtonClick();
    setPosition(0, position);
    moveBarByUser(50);
    const auto calls = w.engine.callsStartingWith("ChannelSetPosition");
    if (seeks)
        QCOMPARE(calls, std::vector<std::string>{"ChannelSetPosition " + std::to_string(stream(0)) +
                                                 " 500000"});
    else
        QVERIFY(calls.empty());
}

void PlaybackCommandsTest::seekNeedsBarFocusAndCurrentRow()
{
    addRows(1);
    // Nothing current: the bar just moves.
    moveBarByUser(40);
    QCOMPARE(bar()->value(), 40);
    QVERIFY(w.engine.callsStartingWith("ChannelSetPosition").empty());

    w.form->PlayToolButtonClick();
    w.list()->setFocus();
    bar()->setSliderDown(true);
    bar()->setSliderPosition(60);
    bar()->setSliderDown(false);
    QVERIFY(w.engine.callsStartingWith("ChannelSetPosition").empty());

    // Keys move the bar by the user too.
    bar()->setFocus();
    QTest::keyClick(bar(), Qt::Key_PageUp);
    QCOMPARE(w.engine.callsStartingWith("ChannelSetPosition").size(), size_t(1));
}

void PlaybackCommandsTest::programSetBarClampsAndSkipsSameValue()
{
    addRows(1);
    w.form->PlayToolButtonClick();
    bar()->setFocus();
    w.form->SetTrackBarPosition(40);
    const auto seeks = [&] { return w.engine.callsStartingWith("ChannelSetPosition"); };
    QCOMPARE(seeks().size(), size_t(1));
    const size_t reads = w.engine.callsStartingWith("ChannelGetPosition").size();
    w.form->SetTrackBarPosition(40);
    QCOMPARE(w.engine.callsStartingWith("ChannelGetPosition").size(), reads);
    w.form->SetTrackBarPosition(150);
    QCOMPARE(bar()->value(), 100);
    QCOMPARE(seeks().size(), size_t(2));
    QVERIFY(seeks().back().find(" 1000000") != std::string::npos);
}

void PlaybackCommandsTest::zeroOrErrorLengthNeitherDividesNorSeeks()
{
    for (int64_t length : {int64_t(0), int64_t(-1)}) {
        init();
        addRows(2, length);
        w.child<QCheckBox>("LoopCheckBox")->setChecked(false);
        w.select(0);
        w.form->PlayToolButtonClick();
        QCOMPARE(w.form->CurrentLength(), length);
        w.form->TimerTimer();
        QCOMPARE(bar()->value(), 0);
        moveBarByUser(50);
        QVERIFY(w.engine.callsStartingWith("ChannelSetPosition").empty());
    }
}

SORVANO_WINDOW_TEST_MAIN(PlaybackCommandsTest)

#include "tst_playback_commands.moc"
