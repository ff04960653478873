// Playback through the real window on the real engine (SDL's dummy driver).
#include "ScriptedPrompts.h"
#include "app/PlayerForms.h"
#include "audio/Engine.h"

#include <QApplication>
#include <QCheckBox>
#include <QSlider>
#include <QTreeWidget>
#include <QtTest>

namespace {

const QString kFixture = QStringLiteral(SORVANO_TEST_DATA "/ape/s16-stereo-44k-c2000.ape");
const QString kOther = QStringLiteral(SORVANO_TEST_DATA "/ape/s16-mono-22k-c2000.ape");
constexpr int64_t kFixtureBytes = 529200; // 3 s of 16-bit stereo at 44100 Hz

} // namespace

class PlaybackRealTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void playsAdvancesAndSeeks();

private:
    audio::Engine engine;
    ScriptedPrompts prompts;
    std::unique_ptr<TPlayerForm> form;
};

void PlaybackRealTest::init()
{
    prompts = ScriptedPrompts();
    form = std::make_unique<TPlayerForm>(engine, prompts);
    form->show();
}

void PlaybackRealTest::cleanup()
{
    form.reset();
}

void PlaybackRealTest::playsAdvancesAndSeeks()
{
    QVERIFY2(prompts.messages.isEmpty(), "the engine starts on the dummy driver");
    prompts.openAnswers.push_back(QStringList{kFixture, kOther});
    form->OpenToolButtonClick();
    auto *list = form->findChild<QTreeWidget *>(QStringLiteral("ListView"));
    QCOMPARE(list->topLevelItemCount(), 2);
    const auto streamOf = [&](int row) {
        return list->topLevelItem(row)->data(0, Qt::UserRole).value<audio::StreamHandle>();
    };
    list->selectionModel()->select(list->model()->index(0, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);

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
    const int64_t afterSeek = engine.ChannelGetPosition(streamOf(0), audio::kPosByte);
    QVERIFY2(afterSeek >= target - 4 * 44100 / 5 && afterSeek <= target + 4 * 44100 / 5,
             qPrintable(QString::number(afterSeek)));

    // With Loop ticked the end of the row starts the next one.
    QVERIFY(form->findChild<QCheckBox *>(QStringLiteral("LoopCheckBox"))->isChecked());
    QTRY_COMPARE_WITH_TIMEOUT(form->CurrentIndex(), int64_t(1), 4000);
    QCOMPARE(form->windowTitle(), QStringLiteral("Sorvano [%1]").arg(kOther));
    QVERIFY(engine.ChannelIsActive(streamOf(1)) != audio::kActiveStopped);
    QCOMPARE(engine.ChannelIsActive(streamOf(0)), audio::kActiveStopped);
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
