#include "window/PlayerForms.h"

#include <QApplication>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWindow>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <xcb/xcb.h>

namespace {
// How long after the restored window came to the front a report of
// "minimised" is taken for the window manager's echo of the restore rather
// than for the user.
constexpr int kRestoreSettleMs = 500;
// How often a restored window that does not come to the front is brought
// there again, kRestoreSettleMs apart, before the restore is given up.
constexpr int kRestoreRetries = 4;
// How often, while the window is in the tray, it is checked that the tray
// is still there.
constexpr int kTrayWatchMs = 500;

// Qt's Wayland plugin reports no minimised state (xdg-shell has none): what
// there is to go by is the request, Qt's own title bar's or the program's.
bool onWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

// Has the X server's record of the window (its WM_HINTS) say that it is to
// be mapped minimised. Qt writes that record only when it changes the
// window's state itself; a window the window manager minimised, and that
// had been restored before, would otherwise keep "normal" there and come
// back on screen when shown while the tray is gone.
void recordMinimisedForNextMap(QWidget *window)
{
    auto *x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t *connection = x11->connection();
    const auto id = xcb_window_t(window->winId());
    // flags, input, initial_state, icon pixmap, icon window, icon x and y,
    // icon mask, window group
    uint32_t hints[9] = {};
    xcb_get_property_reply_t *reply = xcb_get_property_reply(
        connection, xcb_get_property(connection, 0, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS, 0, 9),
        nullptr);
    if (reply && reply->format == 32) {
        const auto words = std::min<size_t>(xcb_get_property_value_length(reply) / 4, 9);
        std::memcpy(hints, xcb_get_property_value(reply), words * 4);
    }
    std::free(reply);
    constexpr uint32_t kStateHint = 1u << 1;
    constexpr uint32_t kIconicState = 3;
    hints[0] |= kStateHint;
    hints[2] = kIconicState;
    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, id, XCB_ATOM_WM_HINTS, XCB_ATOM_WM_HINTS,
                        32, 9, hints);
    xcb_flush(connection);
}
} // namespace

void TPlayerForm::SetUpTray()
{
    TrayIcon = new QSystemTrayIcon(this);
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayIcon->setIcon(windowIcon());
    // The hint stays the application title; it never follows the caption.
    TrayIcon->setToolTip(QCoreApplication::applicationName());
    connect(TrayIcon, &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                // A left click only; right and middle clicks and double-clicks do nothing.
                if (reason == QSystemTrayIcon::Trigger)
                    Guarded([this] { TrayIconClick(); });
            });

    RestoreSettle = new QTimer(this);
    RestoreSettle->setObjectName(QStringLiteral("RestoreSettle"));
    RestoreSettle->setSingleShot(true);
    RestoreSettle->setInterval(kRestoreSettleMs);
    connect(RestoreSettle, &QTimer::timeout, this, [this] {
        // A busy window manager can drop an activation that came before it
        // had mapped the window; the user clicked to get the window in front.
        if (isVisible() && !isMinimized() && !QApplication::activeWindow() &&
            FRestoreRetries-- > 0) {
            BringToFront();
            RestoreSettle->start();
        }
    });

    // On Wayland the compositor has the window once it is asked to minimise
    // it; with a tray to wait in, the window goes there instead, as on X11.
    // Without one it stays with the compositor, like any window, and nothing
    // is reported: the window is still within the user's reach.
    if (onWayland())
        connect(windowHandle(), &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
            if (state != Qt::WindowMinimized || !isVisible())
                return;
            QTimer::singleShot(0, this, [this] {
                if (isVisible() && QSystemTrayIcon::isSystemTrayAvailable())
                    Guarded([this] { ApplicationEventsMinimize(); });
            });
        });

    // Should the tray go away (its program ends or crashes) while the window
    // waits in it, the icon goes with it and nothing would bring the window
    // back: it returns to the taskbar, minimised, as it would without a tray.
    auto *watch = new QTimer(this);
    watch->setObjectName(QStringLiteral("TrayWatch"));
    watch->setInterval(kTrayWatchMs);
    connect(watch, &QTimer::timeout, this, [this, watch] {
        if (!TrayIcon->isVisible() || isVisible()) {
            watch->stop();
            return;
        }
        if (QSystemTrayIcon::isSystemTrayAvailable())
            return;
        watch->stop();
        TrayIcon->hide();
        show();
        // A Wayland compositor takes a minimise only from a window it shows.
        if (onWayland()) {
            auto *exposed = new QTimer(this);
            exposed->setInterval(50);
            connect(exposed, &QTimer::timeout, this, [this, exposed, tries = 40]() mutable {
                if (!isVisible() || windowHandle()->isExposed() || --tries == 0) {
                    exposed->deleteLater();
                    exposed->stop();
                    if (isVisible())
                        windowHandle()->setWindowStates(Qt::WindowMinimized);
                }
            });
            exposed->start();
        }
    });
}

void TPlayerForm::changeEvent(QEvent *event)
{
    QWidget::changeEvent(event);
    if (!TrayIcon)
        return;
    // The window manager's echoes of a restore follow the window's coming to
    // the front, however long a busy desktop took for that.
    if (event->type() == QEvent::ActivationChange && Restoring() && isActiveWindow())
        RestoreSettle->start();
    if (event->type() != QEvent::WindowStateChange || onWayland())
        return;
    const auto *change = static_cast<QWindowStateChangeEvent *>(event);
    if (!isMinimized() || (change->oldState() & Qt::WindowMinimized))
        return;
    // Hiding from inside the state change confuses some window managers; act
    // once the event is over, and only if the window is still minimised then
    // (a restore may pass through minimised on its way back).
    QTimer::singleShot(0, this, [this] {
        if (!isMinimized() || !isVisible())
            return;
        if (!Restoring()) {
            Guarded([this] { ApplicationEventsMinimize(); });
            return;
        }
        // The window manager left the window minimised although the click
        // asked for it back (it can take the map of a window still recorded
        // as minimised for the last word): ask again.
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
        BringToFront();
    });
}

void TPlayerForm::ApplicationEventsMinimize()
{
    // Without a notification area a hidden window could never come back, so
    // it is not hidden: it stays on the taskbar, minimised.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        throw std::runtime_error("Cannot create shell notification icon");
    hide();
    setWindowState(windowState() | Qt::WindowMinimized);
    recordMinimisedForNextMap(this);
    TrayIcon->show();
    if (auto *watch = findChild<QTimer *>(QStringLiteral("TrayWatch")))
        watch->start();
    if (FBalloonShown)
        return;
    TrayIcon->showMessage(QStringLiteral("Restoring the window."),
                          QStringLiteral("Click the system tray icon to restore the window."),
                          QSystemTrayIcon::Information, 3000);
    FBalloonShown = true;
}

void TPlayerForm::TrayIconClick()
{
    TrayIcon->hide();
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        // The notification area went away under the icon: the click cannot
        // be honoured, but the window must not stay out of reach. It comes
        // back in the state it had, a minimised window on the taskbar.
        show();
        throw std::runtime_error("Cannot remove shell notification icon");
    }
    FRestoreRetries = kRestoreRetries;
    RestoreSettle->start();
    // A Wayland compositor cannot be asked to take a window out of the
    // minimised state: it is shown as it was before it went.
    if (onWayland())
        setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    BringToFront();
}

void TPlayerForm::BringToFront()
{
    QWidget *front = QApplication::activeModalWidget();
    if (!front || !front->isVisible() || !front->isEnabled())
        front = this;
    front->raise();
    front->activateWindow();
    // Qt lets go of a hidden window's focus only a moment after the window
    // manager took it (in case it comes back), while hiding deactivates its
    // widgets at once. A window brought back within that moment (a later
    // start handing over its files right after a minimise) is still Qt's
    // focus window: the window manager's focus then reads as no change, and
    // the widgets would stay inactive, keys reaching neither the list nor a
    // shortcut. Their activation follows the window's.
    QWindow *const handle = front->window()->windowHandle();
    if (handle && QGuiApplication::focusWindow() == handle && !QApplication::activePopupWidget() &&
        QApplication::activeWindow() != front->window()) {
        QT_WARNING_PUSH
        QT_WARNING_DISABLE_DEPRECATED
        QApplication::setActiveWindow(front->window());
        QT_WARNING_POP
    }
}

bool TPlayerForm::Restoring() const
{
    return RestoreSettle && RestoreSettle->isActive();
}
