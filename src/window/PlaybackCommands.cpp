// Play, Stop, the progress tick and seeking from the bar.
#include "logic/ProgressMath.h"
#include "window/PlayerForms.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QSlider>
#include <QTimer>

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
    FollowQueuedRow(false);
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
    FollowQueuedRow(false);
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
        SetPlayingCaption(text);
        QueueNextRowSoon();
    } else {
        FPrompts.message(MessageKind::Error,
                         QStringLiteral("Error playing the file \"%1\".").arg(path));
    }
    emit MediaPlayerChanged();
}

void TPlayerForm::SetPlayingCaption(const QString &text)
{
    setWindowTitle(literalTitle(QCoreApplication::applicationName() + QStringLiteral(" [") + text +
                                QStringLiteral("]")));
}

void TPlayerForm::QueueNextRow()
{
    const audio::StreamHandle current = RowStream(FCurrentIndex);
    if (current == 0)
        return;
    audio::StreamHandle wanted = 0;
    if (LoopCheckBox->isChecked() && !FPaused)
        if (const std::optional<int> next = FPlaylist->wrappedRow(FCurrentIndex + 1))
            wanted = RowStream(*next);
    if (FEngine.ChannelGetNext(current) == wanted)
        return;
    // Refused (an engine that cannot queue, a file gone), the tick's own
    // advance still runs at the end.
    if (wanted != 0)
        FEngine.ChannelQueueNext(current, wanted);
    else
        FEngine.ChannelCancelNext(current);
}

int64_t TPlayerForm::CurrentBytesPerSecond()
{
    audio::ChannelInfo info;
    if (!FEngine.ChannelGetInfo(RowStream(FCurrentIndex), &info))
        return 0;
    return int64_t(info.freq) * info.chans * info.bytesPerSample;
}

void TPlayerForm::QueueNextRowSoon(int64_t position)
{
    // The next row decodes ahead from the first tick on, once the row that
    // starts now has filled its own buffer: two decodes starting together
    // on a busy machine may starve the one that is heard. A row that ends
    // before that tick needs its follower now.
    const int64_t bytesPerSecond = CurrentBytesPerSecond();
    if (bytesPerSecond > 0 && FCurrentLength - position < bytesPerSecond)
        QueueNextRow();
}

bool TPlayerForm::FollowQueuedRow(bool advancing)
{
    // During an advance's message box the state has already moved: the
    // follower of the row now current is taken up once that box is gone.
    if (FCurrentIndex < 0 || FAdvancing)
        return false;
    const audio::StreamHandle follower = FEngine.ChannelTakeFollower(RowStream(FCurrentIndex));
    if (follower == 0)
        return false;
    std::optional<int> row;
    for (int i = 0; i < RowCount() && !row; ++i)
        if (const std::optional<int> r = FPlaylist->wrappedRow(FCurrentIndex + 1 + i);
            r && RowStream(*r) == follower)
            row = r;
    if (!row) {
        FEngine.ChannelStop(follower); // a row that is gone must not play on
        return false;
    }
    FlagScope inAdvance(FAdvancing, true);

    // The state follows the sound: the row that is heard now is current, as
    // Stop and Play would have made it.
    FCurrentIndex = *row;
    FCurrentLength = FEngine.ChannelGetLength(follower, audio::kPosByte);
    FPaused = false;
    {
        FlagScope updating(FTimerUpdating, true); // not a seek
        SetTrackBarPosition(0);
    }
    SetPlayingCaption(RowAt(*row)->text());
    emit MediaPlayerChanged();
    QueueNextRowSoon();
    // A command the user gave keeps the row they selected for it.
    if (!advancing)
        return true;
    // As the advance's Stop would: ask for a selection, then go on.
    if (SelectedRowOrAsk() < 0 && RowStream(FCurrentIndex) != follower)
        return true; // another row was started meanwhile
    SelectRow(static_cast<int>(FCurrentIndex));
    return true;
}

void TPlayerForm::WatchForFollower(int64_t position)
{
    const audio::StreamHandle current = RowStream(FCurrentIndex);
    if (FEngine.ChannelGetNext(current) == 0)
        return;
    const int64_t bytesPerSecond = CurrentBytesPerSecond();
    if (bytesPerSecond <= 0)
        return;
    // Ends before the next tick: a look just after the join moves the window
    // on then, not up to a tick later.
    const int64_t left = (FCurrentLength - position) * 1000 / bytesPerSecond;
    if (left < 0 || left >= 500)
        return;
    QTimer::singleShot(static_cast<int>(left) + 20, this, [this, current] {
        Guarded([this, current] {
            if (FCurrentIndex < 0 || RowStream(FCurrentIndex) != current)
                return;
            // The look is a tick moved to just after the join, and the next
            // tick a whole interval after it: a row is taken over and ended
            // in two ticks, never in one go.
            if (Timer->isActive())
                Timer->start();
            TimerTimer();
        });
    });
}

void TPlayerForm::TimerTimer()
{
    if (FCurrentIndex < 0)
        return;
    FlagScope updating(FTimerUpdating, true);
    const bool tookOver = FollowQueuedRow(true);
    if (FCurrentIndex < 0)
        return; // stopped while the advance asked for a selection
    // A list, Loop box or device that changed since the last tick has its
    // next row queued afresh.
    QueueNextRow();

    const audio::StreamHandle ended = RowStream(FCurrentIndex);
    const int64_t position = FEngine.ChannelGetPosition(ended, audio::kPosByte);
    if (const auto value = barValueForPosition(position, FCurrentLength, TrackBar->maximum());
        value && *value != TrackBar->value())
        SetTrackBarPosition(static_cast<int>(std::clamp<int64_t>(*value, -1, 101)));

    WatchForFollower(position);
    // One row per tick, as the design's advance: a row taken over in this
    // tick that has already ended (shorter than the window's look at the
    // join) is ended by the next tick, not skipped unseen.
    if (tookOver || position < FCurrentLength || !LoopCheckBox->isChecked())
        return;
    // A tick that comes while an earlier advance waits in a message box must
    // not start a second one.
    if (FAdvancing)
        return;
    // Heard to its end before it handed over (its decode ran late and had
    // not yet found the end): the design's advance plays the next row from
    // here. A queued row that started meanwhile is that advance already, and
    // must not be stopped and started again by it.
    FEngine.ChannelCancelNext(ended);
    if (FollowQueuedRow(true))
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
    if (FTimerUpdating)
        return;
    FollowQueuedRow(false);
    if (FCurrentIndex < 0 || focusWidget() != TrackBar)
        return;
    const int maximum = TrackBar->maximum();
    const auto target = targetForBarValue(TrackBar->sliderPosition(), maximum, FCurrentLength);
    if (!target)
        return;
    const audio::StreamHandle stream = RowStream(FCurrentIndex);
    const int64_t position = FEngine.ChannelGetPosition(stream, audio::kPosByte);
    if (fartherThanOneBarStep(position, *target, FCurrentLength, maximum)) {
        FEngine.ChannelSetPosition(stream, *target, audio::kPosByte);
        QueueNextRowSoon(*target);
        emit MediaPlayerSeeked(*target);
    }
}
