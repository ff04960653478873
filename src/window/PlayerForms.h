#pragma once

#include "audio/AudioEngine.h"
#include "audio/Verify.h"
#include "logic/CoverArtFiles.h"
#include "logic/FileNames.h"
#include "logic/PlaylistModel.h"
#include "window/Prompts.h"

#include <QWidget>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

class QAction;
class QCheckBox;
class QLabel;
class QMenu;
class QSlider;
class QStatusBar;
class QSystemTrayIcon;
class QTimer;
class QToolButton;
class QTreeView;
class WrappingToolBar;

// The main window: owns every control, wires each command to its handler.
// The handlers live beside this file, one file per subsystem
// (PlaylistCommands, PlaybackCommands, MediaControls, DecodeCommand,
// VerifyCommand, TrayBehaviour); PlayerForms.cpp builds the window.
class TPlayerForm : public QWidget
{
    Q_OBJECT

public:
    TPlayerForm(audio::IAudioEngine &engine, IPrompts &prompts, QWidget *parent = nullptr);
    ~TPlayerForm() override; // FormDestroy

    // True when FormCreate found a wrong engine version: the window must not
    // be shown and the program ends with status 0.
    bool StartupAborted() const { return FStartupAborted; }

    // Playback state, read by tests and the benchmarks.
    int64_t CurrentIndex() const { return FCurrentIndex; }
    int64_t CurrentLength() const { return FCurrentLength; }
    bool BalloonShown() const { return FBalloonShown; }
    // Factor from the 120-dpi design to this screen: 1 at 120 dpi.
    double LayoutScale() const { return FScale; }
    // Whether the window may close now (FormCloseQuery).
    bool FormCloseQuery() const;
    // Sets the bar's position, clamped to its range; TrackBarChange runs
    // inside when, and only when, the position changes.
    void SetTrackBarPosition(int position);

    // Commands. Each takes the component that invoked it, which it ignores.
    void OpenToolButtonClick(QObject *sender = nullptr);
    void DeleteToolButtonClick(QObject *sender = nullptr);
    void PlayToolButtonClick(QObject *sender = nullptr);
    void StopToolButtonClick(QObject *sender = nullptr);
    void DecodeToolButtonClick(QObject *sender = nullptr);
    void VerifyToolButtonClick(QObject *sender = nullptr);
    void ExitToolButtonClick(QObject *sender = nullptr);

    void DecodeFile(const QString &sourcePath, const QString &destinationPath);
    // What the Verify command checks a file with, on a thread of its own:
    // audio::verifyFile unless a test puts its own in.
    using FileVerifier = std::function<audio::VerifyResult(const std::filesystem::path &,
                                                           const audio::VerifyOptions &)>;
    void SetFileVerifier(FileVerifier verifier) { FVerifyFile = std::move(verifier); }
    // Adds full paths as the Open command adds those chosen in its dialog,
    // in the order given: files handed over by the desktop come this way.
    // Names from a dialog are its text; see resolveShownPath.
    void OpenFiles(const QStringList &paths);
    // Names as the file system spells them: the command line, a later start.
    void OpenFiles(const QList<QByteArray> &paths);

    // The desktop's media controls (Mpris.cpp) read the player through
    // these and make their requests through the MediaPlayer handlers. Each
    // request is refused during a decode or a verify, as the window's
    // commands are.
    enum class PlaybackStatus
    {
        Stopped,
        Playing,
        Paused,
    };
    struct MediaTrack
    {
        audio::StreamHandle stream = 0;
        QString path;
        PlaylistModel::Row row;
        bool current = false; // else the selected row
        int64_t lengthBytes = 0;
        int64_t bytesPerFrame = 0;
        int64_t rate = 0;
    };
    bool Decoding() const;
    bool LoopTicked() const;
    // Rows to act on, and no decode.
    bool MediaPlayerCanControl() const;
    // The current row, or else the selected row.
    std::optional<MediaTrack> MediaPlayerTrack();
    // The file holding the track's front cover, written the first time it is
    // asked for; empty when it has none.
    QString MediaPlayerCoverFile(const MediaTrack &track);
    // Of the current row's stream, in bytes; 0 with none.
    int64_t MediaPlayerPosition();
    PlaybackStatus MediaPlayerStatus();
    // With a paused row, resumes it; otherwise the Play command.
    void MediaPlayerPlay();
    // Holds the current row where it is heard; it stays current.
    void MediaPlayerPause();
    void MediaPlayerPlayPause();
    void MediaPlayerStop();
    // Plays the row step rows on from the current row (or the selected row),
    // wrapping.
    void MediaPlayerStep(int step);
    // Moves the current row's stream to the byte position.
    void MediaPlayerSeek(int64_t position);
    // The file through the Open steps, then played as Play would.
    void MediaPlayerOpen(const QByteArray &path);
    void MediaPlayerSetLoop(bool ticked);
    // Brings the window back and to the front, from the tray too.
    void MediaPlayerRaise();
    void MediaPlayerQuit();

    // Events of components.
    void TimerTimer();
    void TrackBarChange();
    void TrayIconClick();
    void ApplicationEventsMinimize();

signals:
    // The window's close was accepted: the program is to end.
    void CloseAccepted();

protected:
    void closeEvent(QCloseEvent *event) override;
    void changeEvent(QEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

signals:
    // Something the media controls show may have changed.
    void MediaPlayerChanged();
    // The current row's stream was moved to a byte position.
    void MediaPlayerSeeked(qint64 position);

private:
    void FormCreate();
    void FormDestroy();
    void CreateComponents();
    void LayoutComponents();
    void WireCommands();
    void SetUpTray();
    // Raises and activates the dialog open over this window, or else this window.
    void BringToFront();
    // Whether a restore from the tray is still settling: a report of
    // "minimised" then is the window manager's echo, not the user.
    bool Restoring() const;
    int Scaled(int designPixels) const;

    // The list's rows, by index; -1 is none.
    int SelectedRow() const;
    // The selected row; with none, tells the user to select one and returns -1.
    int SelectedRowOrAsk();
    // Null outside the list.
    const PlaylistModel::Row *RowAt(int64_t index) const;
    int RowCount() const;
    // 0 outside the list.
    audio::StreamHandle RowStream(int64_t index) const;
    // A new stream of the row's file or track, flags as the engine takes them.
    audio::StreamHandle OpenRowStream(const PlaylistModel::Row &row, uint32_t flags);
    void SelectRow(int index);
    // Across the columns in sight, in the list's viewport: where the popup
    // menu opens from the keyboard.
    QRect RowRect(int index) const;
    // Opens a stream on a file of any name; flags as for ApeStreamCreateFile.
    audio::StreamHandle CreateStream(const QByteArray &path, uint32_t flags);
    void OpenResolved(const QList<ResolvedPath> &files);
    // Runs a handler's body; any failure that escapes it reaches the error report.
    template <typename Body> void Guarded(Body &&body);
    void ReportError(const QString &message);
    void SetLockedOut(bool locked);
    // Stop's work once it acts: ends the current row's playback.
    void EndPlayback();
    // The caption while the row whose text is given plays.
    void SetPlayingCaption(const QString &text);
    // Queues the row the advance goes to after the current one, so that the
    // engine starts it on the sample after the current row's last; with Loop
    // unticked or the row paused, nothing follows.
    void QueueNextRow();
    // QueueNextRow for a row that starts (or was moved to `position`) now,
    // left to the tick unless the row ends before it.
    void QueueNextRowSoon(int64_t position = 0);
    // Of the current row's stream; 0 without one.
    int64_t CurrentBytesPerSecond();
    // Once the queued row has taken over, makes it the current row as the
    // advance would. The advance (`advancing`) also selects it, asking for a
    // selection first as its Stop does; a command keeps the user's. True
    // when the state moved.
    bool FollowQueuedRow(bool advancing);
    // With a row queued behind a current row that ends before the next
    // tick, looks again right after its end.
    void WatchForFollower(int64_t position);
    void ResumeCurrentRow();
    // The panel up and every command locked out, and back: around a decode
    // and a verify.
    void ShowProgressPanel();
    void HideProgressPanel();
    // Verifies the file on a thread of its own while the window stays
    // usable; nullopt when the program is ending meanwhile.
    // fileName as the file system spells it.
    std::optional<audio::VerifyResult> VerifyFileShowingProgress(const QByteArray &fileName);
    // DecodeFile on a decode stream already open; frees it on every path.
    // shownDestination is the destination's text as the user gave it.
    void DecodeStream(audio::StreamHandle stream, const QString &sourcePath,
                      const QByteArray &destinationPath, const QString &shownDestination);

    audio::IAudioEngine &FEngine;
    IPrompts &FPrompts;
    FileVerifier FVerifyFile = [](const std::filesystem::path &path,
                                  const audio::VerifyOptions &options) {
        return audio::verifyFile(path, options);
    };

    int64_t FCurrentIndex = -1;
    int64_t FCurrentLength = -1;
    bool FTimerUpdating = false;
    bool FBalloonShown = false;
    bool FStartupAborted = false;
    bool FAdvancing = false;
    // The current row is held by MediaPlayerPause.
    bool FPaused = false;
    int FRestoreRetries = 0;
    double FScale = 1.0;
    // The rows ListView shows.
    PlaylistModel *FPlaylist = nullptr;
    // The rows' front covers, as files for the media controls.
    CoverArtFiles FCoverFiles;

    QTreeView *ListView = nullptr;
    QStatusBar *StatusBar = nullptr;
    QWidget *Panel3 = nullptr;
    QWidget *Panel4 = nullptr;
    WrappingToolBar *ToolBar = nullptr;
    QToolButton *OpenToolButton = nullptr;
    QToolButton *DeleteToolButton = nullptr;
    QToolButton *PlayToolButton = nullptr;
    QToolButton *StopToolButton = nullptr;
    QToolButton *DecodeToolButton = nullptr;
    QToolButton *VerifyToolButton = nullptr;
    QToolButton *ExitToolButton = nullptr;
    QWidget *Panel1 = nullptr;
    QSlider *TrackBar = nullptr;
    QWidget *Panel2 = nullptr;
    QCheckBox *LoopCheckBox = nullptr;
    QLabel *DecodePanel = nullptr;
    QMenu *PopupMenu = nullptr;
    QAction *OpenMenuItem = nullptr;
    QAction *DeleteMenuItem = nullptr;
    QAction *PlayMenuItem = nullptr;
    QAction *StopMenuItem = nullptr;
    QAction *DecodeMenuItem = nullptr;
    QAction *VerifyMenuItem = nullptr;
    QAction *ExitMenuItem = nullptr;
    QTimer *Timer = nullptr;
    QSystemTrayIcon *TrayIcon = nullptr;
    // Runs from a click on the tray icon until the restored window has been
    // in front a while.
    QTimer *RestoreSettle = nullptr;
};

#include <exception>

template <typename Body> void TPlayerForm::Guarded(Body &&body)
{
    try {
        body();
    } catch (const std::exception &e) {
        ReportError(QString::fromUtf8(e.what()));
    } catch (...) {
        ReportError(QStringLiteral("Unexpected failure"));
    }
}
