// The two services a desktop tray stands on, on the session bus, as small as
// a test needs them: the StatusNotifierItem watcher that tray icons register
// with, and the notification server that shows their balloons. Registered
// items are readable as the watcher's property; every notification is
// written to standard output, one line each.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QStringList>
#include <QVariantMap>
#include <cstdio>

class Watcher : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    Watcher()
    {
        gone_.setConnection(QDBusConnection::sessionBus());
        gone_.setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
        connect(&gone_, &QDBusServiceWatcher::serviceUnregistered, this,
                [this](const QString &service) {
                    const QStringList registered = items_;
                    for (const QString &item : registered)
                        if (item.section('/', 0, 0) == service) {
                            items_.removeAll(item);
                            emit StatusNotifierItemUnregistered(item);
                        }
                    gone_.removeWatchedService(service);
                });
    }
    QStringList items() const { return items_; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString &serviceOrPath)
    {
        // An item names its bus service, or only its object path on the
        // caller's connection.
        const QString service = serviceOrPath.startsWith('/') ? message().service() : serviceOrPath;
        const QString path =
            serviceOrPath.startsWith('/') ? serviceOrPath : QStringLiteral("/StatusNotifierItem");
        const QString item = service + path;
        if (!items_.contains(item))
            items_ << item;
        gone_.addWatchedService(service);
        emit StatusNotifierItemRegistered(item);
    }
    void RegisterStatusNotifierHost(const QString &) {}

signals:
    void StatusNotifierItemRegistered(const QString &item);
    void StatusNotifierItemUnregistered(const QString &item);
    void StatusNotifierHostRegistered();

private:
    QStringList items_;
    QDBusServiceWatcher gone_;
};

class Notifications : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public slots:
    uint Notify(const QString &, uint, const QString &, const QString &summary, const QString &body,
                const QStringList &, const QVariantMap &, int timeout)
    {
        std::printf("notification: %s|%s|%d\n", qPrintable(summary), qPrintable(body), timeout);
        std::fflush(stdout);
        return ++last_;
    }
    void CloseNotification(uint) {}
    QStringList GetCapabilities() { return {QStringLiteral("body")}; }
    QString GetServerInformation(QString &vendor, QString &version, QString &specVersion)
    {
        vendor = QStringLiteral("test");
        version = QStringLiteral("1");
        specVersion = QStringLiteral("1.2");
        return QStringLiteral("test-notifications");
    }

private:
    uint last_ = 0;
};

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QDBusConnection bus = QDBusConnection::sessionBus();
    Watcher watcher;
    Notifications notifications;
    const auto everything = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                            QDBusConnection::ExportAllProperties;
    if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher, everything) ||
        !bus.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &notifications,
                            everything) ||
        !bus.registerService(QStringLiteral("org.freedesktop.Notifications")) ||
        !bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "status-notifier-watcher: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    return app.exec();
}

#include "StatusNotifierWatcher.moc"
