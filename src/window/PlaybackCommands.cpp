// Play, Stop, the progress tick and seeking from the bar.
#include "logic/ProgressMath.h"
#include "window/PlayerForms.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QSlider>

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
    if (SelectedRowOrAsk() < 0)
        return;
    if (FCurrentIndex < 0)
        return;
    EndPlayback();
}

void TPlayerForm::EndPlayback()
{
    FEngine.ChannelStop(RowStream(FCurrentIndex));
    FCurrentIndex = -1;
    FCurrentLength = -1;
    FPaused = false;
    SetTrackBarPosition(0);
    setWindowTitle(literalTitle(QCoreApplication::applicationName()));
    emit MediaPlayerChanged();
}

void TPlayerForm::PlayToolButtonClick(QObject *sender)
{
    if (SelectedRowOrAsk() < 0)
        return;
    StopToolButtonClick(sender);
    FCurrentIndex = -1;
    FCurrentLength = -1;
    FPaused = false;
    SetTrackBarPosition(0);

    const int row = SelectedRow();
    if (row < 0)
        return;
    const audio::StreamHandle stream = RowStream(row);
    const QString path = RowAt(row)->path;
    FEngine.ChannelSetTitle(stream, PlaylistModel::titleOf(*RowAt(row)).toUtf8().constData());
    const QString text = RowAt(row)->text();
    if (FEngine.ChannelPlay(stream, true)) {
        FCurrentIndex = row;
        FCurrentLength = FEngine.ChannelGetLength(stream, audio::kPosByte);
        setWindowTitle(literalTitle(QCoreApplication::applicationName() + QStringLiteral(" [") +
                                    text + QStringLiteral("]")));
    } else {
        FPrompts.message(MessageKind::Error,
                         QStringLiteral("Error playing the file \"%1\".").arg(path));
    }
    emit MediaPlayerChanged();
}

void TPlayerForm::TimerTimer()
{
    if (FCurrentIndex < 0)
        return;
    FlagScope updating(FTimerUpdating, true);

    const audio::StreamHandle ended = RowStream(FCurrentIndex);
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

    std::optional<int> next = FPlaylist->wrappedRow(FCurrentIndex + 1);
    if (!next)
        return;
    StopToolButtonClick(nullptr);

    // Stop may have waited in a message box; take nothing from before it on trust.
    if (FCurrentIndex >= 0 && RowStream(FCurrentIndex) != ended)
        return; // the user started another row meanwhile
    next = FPlaylist->wrappedRow(*next);
    if (!next)
        return;
    SelectRow(*next);
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
    const audio::StreamHandle stream = RowStream(FCurrentIndex);
    const int64_t position = FEngine.ChannelGetPosition(stream, audio::kPosByte);
    if (fartherThanOneBarStep(position, *target, FCurrentLength, maximum)) {
        FEngine.ChannelSetPosition(stream, *target, audio::kPosByte);
        emit MediaPlayerSeeked(*target);
    }
}
