// Playback through the real window on the real engine (SDL's dummy driver).
#include "Manifest.h"
#include "RealWindow.h"

#include <QApplication>
#include <QCheckBox>
#include <QSlider>
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

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Sorvano"));
    PlaybackRealTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_playback_real.moc"
