#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>

class TPlayerForm;

// One player per session: the first start owns org.mpris.MediaPlayer2.sorvano
// on the session bus, and every later start hands its files to it and ends,
// before it opens the sound device or a window. Without a bus each start is a
// player of its own.
class OnePlayer : public QObject
{
    Q_OBJECT

public:
    explicit OnePlayer(QDBusConnection bus, QObject *parent = nullptr);
    // Answers requests still waiting for a window: the starts that sent them
    // try to become the player themselves.
    ~OnePlayer() override;

    enum class Start
    {
        // This process is the player (or there is no bus): it opens its window.
        OwnWindow,
        // The running player took the files: this process ends with status 0.
        HandedOver,
        // The running player refused them (it decodes): why says so.
        Refused,
        // A player holds the name but does not answer: this process opens a
        // window of its own, and why says so.
        Unanswered,
    };
    // paths are absolute, as the file system spells them.
    Start claimOrHandOver(const QList<QByteArray> &paths, QString *why);

    // Files handed over go to form from now on, requests that came while the
    // window was being made included.
    void attach(TPlayerForm &form);

    // A later start's request: the D-Bus method Open(aay).
    void request(const QList<QByteArray> &paths, const QDBusMessage &message);

private:
    struct Waiting
    {
        QList<QByteArray> paths;
        QDBusMessage message;
    };
    void answer(const QList<QByteArray> &paths, const QDBusMessage &message);
    // Brings the window to the front and adds the files as Open adds them.
    void deliver(const QList<QByteArray> &paths);

    QDBusConnection bus_;
    QPointer<TPlayerForm> form_;
    QList<Waiting> waiting_;
};
