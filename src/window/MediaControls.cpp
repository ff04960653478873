// Requests of the desktop's media controls: pause and resume, stepping
// through the rows, seeking the current row, and what the controls show.
#include "logic/MprisMapping.h"
#include "window/PlayerForms.h"

#include <QCheckBox>
#include <QSystemTrayIcon>
#include <QToolButton>

bool TPlayerForm::Decoding() const
{
    // The Decode and Verify commands lock Exit out, with every other
    // command, for the whole of a decode or a verify.
    return !ExitToolButton->isEnabled();
}

bool TPlayerForm::LoopTicked() const
{
    return LoopCheckBox->isChecked();
}

bool TPlayerForm::MediaPlayerCanControl() const
{
    return RowCount() > 0 && !Decoding();
}

std::optional<TPlayerForm::MediaTrack> TPlayerForm::MediaPlayerTrack()
{
    const PlaylistModel::Row *row = RowAt(FCurrentIndex);
    const bool current = row != nullptr;
    if (!row)
        row = RowAt(SelectedRow());
    if (!row)
        return std::nullopt;
    MediaTrack track;
    track.stream = row->stream;
    track.path = row->path;
    track.row = *row;
    track.current = current;
    track.lengthBytes =
        current ? FCurrentLength : FEngine.ChannelGetLength(track.stream, audio::kPosByte);
    audio::ChannelInfo info;
    if (FEngine.ChannelGetInfo(track.stream, &info)) {
        const uint32_t sampleBytes = info.bytesPerSample
                                         ? info.bytesPerSample
                                         : (info.flags & audio::kInfoSample8Bits ? 1 : 2);
        track.bytesPerFrame = int64_t(info.chans) * sampleBytes;
        track.rate = info.freq;
    }
    return track;
}

QString TPlayerForm::MediaPlayerCoverFile(const MediaTrack &track)
{
    return track.row.tags.hasFrontCover ? FCoverFiles.fileFor(track.path) : QString();
}

int64_t TPlayerForm::MediaPlayerPosition()
{
    if (FCurrentIndex < 0)
        return 0;
    return FEngine.ChannelGetPosition(RowStream(FCurrentIndex), audio::kPosByte);
}

TPlayerForm::PlaybackStatus TPlayerForm::MediaPlayerStatus()
{
    if (FCurrentIndex < 0)
        return PlaybackStatus::Stopped;
    if (FPaused)
        return PlaybackStatus::Paused;
    // A row that has played to its end stays current, but nothing plays.
    return MediaPlayerPosition() < FCurrentLength ? PlaybackStatus::Playing
                                                  : PlaybackStatus::Stopped;
}

void TPlayerForm::MediaPlayerPlay()
{
    Guarded([this] {
        if (Decoding())
            return;
        if (FPaused)
            ResumeCurrentRow();
        else
            PlayToolButtonClick(nullptr);
    });
}

void TPlayerForm::MediaPlayerPause()
{
    Guarded([this] {
        if (Decoding())
            return;
        FollowQueuedRow(false);
        if (MediaPlayerStatus() != PlaybackStatus::Playing)
            return;
        if (FEngine.ChannelPause(RowStream(FCurrentIndex)))
            FPaused = true;
        emit MediaPlayerChanged();
    });
}

void TPlayerForm::MediaPlayerPlayPause()
{
    if (!Decoding())
        Guarded([this] { FollowQueuedRow(false); });
    if (MediaPlayerStatus() == PlaybackStatus::Playing)
        MediaPlayerPause();
    else
        MediaPlayerPlay();
}

void TPlayerForm::MediaPlayerStop()
{
    Guarded([this] {
        if (!Decoding())
            StopToolButtonClick(nullptr);
    });
}

void TPlayerForm::MediaPlayerStep(int step)
{
    Guarded([this, step] {
        if (Decoding())
            return;
        FollowQueuedRow(false);
        const int64_t from = FCurrentIndex >= 0 ? FCurrentIndex : SelectedRow();
        const std::optional<int> next = mpris::neighbourRow(from, RowCount(), step);
        if (!next)
            return;
        SelectRow(*next);
        PlayToolButtonClick(nullptr);
    });
}

void TPlayerForm::MediaPlayerSeek(int64_t position)
{
    Guarded([this, position] {
        if (Decoding())
            return;
        FollowQueuedRow(false);
        if (FCurrentIndex < 0)
            return;
        FEngine.ChannelSetPosition(RowStream(FCurrentIndex), position, audio::kPosByte);
        QueueNextRowSoon(position);
        emit MediaPlayerSeeked(position);
    });
}

void TPlayerForm::MediaPlayerOpen(const QByteArray &path)
{
    if (Decoding())
        return;
    const int before = RowCount();
    OpenFiles(QList<QByteArray>{path});
    // An album image plays from its first track, not from the last one added.
    if (const PlaylistModel::Row *first = RowAt(before); first && first->track) {
        SelectRow(before);
        Guarded([this] { PlayToolButtonClick(nullptr); });
        return;
    }
    // Only the file asked for plays: not a row that happened to be selected
    // when it could not be added.
    const PlaylistModel::Row *row = RowAt(SelectedRow());
    if (row && row->nativePath == path)
        Guarded([this] { PlayToolButtonClick(nullptr); });
}

void TPlayerForm::MediaPlayerSetLoop(bool ticked)
{
    if (!Decoding())
        LoopCheckBox->setChecked(ticked);
}

void TPlayerForm::MediaPlayerRaise()
{
    Guarded([this] {
        // From the tray exactly as a click on its icon brings it back.
        if (TrayIcon->isVisible()) {
            TrayIconClick();
            return;
        }
        show();
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        BringToFront();
    });
}

void TPlayerForm::MediaPlayerQuit()
{
    Guarded([this] {
        if (!Decoding())
            ExitToolButtonClick(nullptr);
    });
}

void TPlayerForm::ResumeCurrentRow()
{
    const audio::StreamHandle stream = RowStream(FCurrentIndex);
    FPaused = false;
    if (FEngine.ChannelResume(stream)) {
        QueueNextRowSoon();
        emit MediaPlayerChanged();
        return;
    }
    // The file went away while paused: as when Play cannot start a row.
    const QString path = RowAt(FCurrentIndex)->path;
    EndPlayback();
    FPrompts.message(MessageKind::Error,
                     QStringLiteral("Error playing the file \"%1\".").arg(path));
}
