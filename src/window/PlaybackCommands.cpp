// Play, Stop, the progress tick and seeking from the bar.
#include "window/PlayerForms.h"
#include "logic/ProgressMath.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QSlider>
#include <QTreeWidget>

namespace {

// Restores a flag to the value it had, on every way out of a scope.
class FlagScope
{
public:
    FlagScope(bool &flag, bool value) : flag_(flag), saved_(flag) { flag_ = value; }
    ~FlagScope() { flag_ = saved_; }
    FlagScope(const FlagScope &) = delete;
    FlagScope &operator=(const FlagScope &) = delete;

private:
    bool &flag_;
    bool saved_;
};

// setWindowTitle treats "[*]" as the modified-marker placeholder.
QString literalTitle(QString text)
{
    return text.replace(QStringLiteral("[*]"), QStringLiteral("[*][*]"));
}

} // namespace

void TPlayerForm::StopToolButtonClick(QObject *)
{
    if (!SelectedRowOrAsk())
        return;
    if (FCurrentIndex < 0)
        return;
    EndPlayback();
}

void TPlayerForm::EndPlayback()
{
    FEngine.ChannelStop(RowStream(RowAt(FCurrentIndex)));
    FCurrentIndex = -1;
    FCurrentLength = -1;
    FPaused = false;
    SetTrackBarPosition(0);
    setWindowTitle(literalTitle(QCoreApplication::applicationName()));
    emit MediaPlayerChanged();
}

void TPlayerForm::PlayToolButtonClick(QObject *sender)
{
    if (!SelectedRowOrAsk())
        return;
    StopToolButtonClick(sender);
    FCurrentIndex = -1;
    FCurrentLength = -1;
    FPaused = false;
    SetTrackBarPosition(0);

    QTreeWidgetItem *row = SelectedRow();
    if (!row)
        return;
    const audio::StreamHandle stream = RowStream(row);
    if (FEngine.ChannelPlay(stream, true)) {
        FCurrentIndex = RowIndex(row);
        FCurrentLength = FEngine.ChannelGetLength(stream, audio::kPosByte);
        setWindowTitle(literalTitle(QCoreApplication::applicationName() + QStringLiteral(" [") +
                                    row->text(0) + QStringLiteral("]")));
    } else {
        FPrompts.message(MessageKind::Error,
                         QStringLiteral("Error playing the file \"%1\".").arg(row->text(0)));
    }
    emit MediaPlayerChanged();
}

void TPlayerForm::TimerTimer()
{
    if (FCurrentIndex < 0)
        return;
    FlagScope updating(FTimerUpdating, true);

    const audio::StreamHandle ended = RowStream(RowAt(FCurrentIndex));
    const int64_t position = FEngine.ChannelGetPosition(ended, audio::kPosByte);
    if (const auto value = barValueForPosition(position, FCurrentLength, TrackBar->maximum());
        value && *value != TrackBar->value())
        SetTrackBarPosition(static_cast<int>(std::clamp<int64_t>(*value, -1, 101)));

    if (position < FCurrentLength || !LoopCheckBox->isChecked())
        return;
    // A tick that comes while an earlier advance waits in a message box must
    // not start a second one.
    if (FAdvancing)
        return;
    FlagScope advancing(FAdvancing, true);

    int64_t next = FCurrentIndex + 1;
    if (next >= RowCount())
        next = 0;
    if (next < 0 || next >= RowCount())
        return;
    StopToolButtonClick(nullptr);

    // Stop may have waited in a message box; take nothing from before it on trust.
    if (FCurrentIndex >= 0 && RowStream(RowAt(FCurrentIndex)) != ended)
        return; // the user started another row meanwhile
    if (next >= RowCount())
        next = 0;
    QTreeWidgetItem *nextRow = RowAt(next);
    if (!nextRow)
        return;
    SelectRow(nextRow);
    PlayToolButtonClick(nullptr);
}

void TPlayerForm::TrackBarChange()
{
    if (FTimerUpdating || FCurrentIndex < 0 || focusWidget() != TrackBar)
        return;
    const int maximum = TrackBar->maximum();
    const auto target = targetForBarValue(TrackBar->sliderPosition(), maximum, FCurrentLength);
    if (!target)
        return;
    const audio::StreamHandle stream = RowStream(RowAt(FCurrentIndex));
    const int64_t position = FEngine.ChannelGetPosition(stream, audio::kPosByte);
    if (fartherThanOneBarStep(position, *target, FCurrentLength, maximum)) {
        FEngine.ChannelSetPosition(stream, *target, audio::kPosByte);
        emit MediaPlayerSeeked(*target);
    }
}
