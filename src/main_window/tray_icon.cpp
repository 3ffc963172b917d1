#include "main_window/tray_icon.h"

#include "layouts/placement.h"

#include <QCursor>
#include <QMainWindow>
#include <QMenu>

TrayIcon::TrayIcon(QMainWindow *window, QMenu *menu)
    : QSystemTrayIcon(window->windowIcon(), window), m_window(window), m_menu(menu)
{
    setToolTip(Tip);
    connect(this, &QSystemTrayIcon::activated, this, &TrayIcon::activatedBy);
}

void TrayIcon::add()
{
    if (QSystemTrayIcon::isSystemTrayAvailable())
        show();
}

void TrayIcon::remove()
{
    hide();
}

void TrayIcon::activatedBy(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        // A left click also brings a minimised window back.
        if (m_window->isMinimized())
            m_window->showNormal();
        [[fallthrough]];
    case QSystemTrayIcon::DoubleClick:
        placement::bringUp(m_window);
        break;
    case QSystemTrayIcon::Context:
        m_menu->popup(QCursor::pos());
        break;
    default:
        break;
    }
}
