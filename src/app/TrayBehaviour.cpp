#include "app/PlayerForms.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindowStateChangeEvent>

void TPlayerForm::SetUpTray()
{
    TrayIcon = new QSystemTrayIcon(this);
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayIcon->setIcon(windowIcon());
    TrayIcon->setToolTip(QCoreApplication::applicationName());
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A left click only; right and middle clicks do nothing.
                if (reason == QSystemTrayIcon::Trigger)
                    Guarded([this] { TrayIconClick(); });
            });
}

void TPlayerForm::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange || !TrayIcon)
        return;
    const auto *change = static_cast<QWindowStateChangeEvent *>(event);
    if (!isMinimized() || (change->oldState() & Qt::WindowMinimized))
        return;
    // Hiding from inside the state change confuses some window managers; act
    // once the event is over, and only if the window is still minimised then
    // (a restore may pass through minimised on its way back).
    QTimer::singleShot(0, this, [this] {
        if (isMinimized() && isVisible() && !FRestoring)
            Guarded([this] { ApplicationEventsMinimize(); });
    });
}

void TPlayerForm::ApplicationEventsMinimize()
{
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // Without a tray the window must stay reachable: it stays on the
        // taskbar, minimised.
        throw std::runtime_error("Cannot create shell notification icon");
    }
    hide();
    setWindowState(windowState() | Qt::WindowMinimized);
    TrayIcon->show();
    if (FBalloonShown)
        return;
    TrayIcon->showMessage(QStringLiteral("Restoring the window."),
                          QStringLiteral("Click the system tray icon to restore the window."),
                          QSystemTrayIcon::Information, 3000);
    FBalloonShown = true;
}

void TPlayerForm::TrayIconClick()
{
    FRestoring = true;
    TrayIcon->hide();
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    QWidget *front = QApplication::activeModalWidget();
    if (!front || !front->isVisible() || !front->isEnabled())
        front = this;
    front->raise();
    front->activateWindow();
    // Window managers may report a transient minimise while restoring.
    QTimer::singleShot(500, this, [this] { FRestoring = false; });
}
