#pragma once

#include <QObject>
#include <QString>
#include <QVariantMap>
#include <cstdint>

class QDBusConnection;
class TPlayerForm;

// The player as the desktop's media controls see it: the MPRIS interfaces
// org.mpris.MediaPlayer2 and org.mpris.MediaPlayer2.Player on the session
// bus. Requests go to the window's handlers; what the interfaces show is read
// from the window. Works without a bus too, so tests drive it directly.
class MprisService : public QObject
{
    Q_OBJECT

public:
    explicit MprisService(TPlayerForm &form, QObject *parent = nullptr);

    // Puts the player on the bus as org.mpris.MediaPlayer2.sorvano, or as
    // ...sorvano.instance<pid> while another instance holds that name. False,
    // with nothing changed, when there is no bus.
    bool registerOn(QDBusConnection bus);
    QString busName() const { return busName_; }

    // org.mpris.MediaPlayer2.Player's properties, as the interface defines them.
    QString playbackStatus();
    QString loopStatus();
    void setLoopStatus(const QString &status);
    QVariantMap metadata();
    qint64 position(); // microseconds
    bool canControlNow();

    // Its methods and those of org.mpris.MediaPlayer2. They act at once;
    // calls from the bus reach them from the event loop, after the caller
    // has had its answer, so a message box never keeps a caller waiting.
    void play();
    void pause();
    void playPause();
    void stop();
    void next();
    void previous();
    void seek(qint64 offset);
    void setPosition(const QString &trackId, qint64 position);
    void openUri(const QString &uri);
    void raise();
    void quit();

signals:
    // Properties of org.mpris.MediaPlayer2.Player that changed, with their
    // new values.
    void propertiesChanged(const QVariantMap &changed);
    // The position jumped (microseconds).
    void seeked(qint64 position);

private:
    // Announces what the player interface shows now and did not show before.
    void refresh();
    QVariantMap shownProperties();

    TPlayerForm &form_;
    QString busName_;
    QVariantMap shown_;
    bool refreshPending_ = false;
};
