#include "main_window/tray_icon.h"

#include "layouts/placement.h"

#include <QCursor>
#include <QMainWindow>
#include <QMenu>
#include <QPainter>

TrayIcon::TrayIcon(QMainWindow *window, QMenu *menu)
    : QSystemTrayIcon(window->windowIcon(), window), m_window(window), m_menu(menu)
{
    setToolTip(Tip);
    connect(this, &QSystemTrayIcon::activated, this, &TrayIcon::activatedBy);
    m_plain = window->windowIcon();
    // The same picture with a red dot in its corner, at every size the desktop may ask for.
    for (const int size : {16, 22, 24, 32, 48, 64}) {
        QPixmap picture = m_plain.pixmap(size, size);
        QPainter painter(&picture);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(QPen(Qt::white, std::max(1, size / 16)));
        painter.setBrush(QColor(220, 0, 0));
        const int dot = std::max(6, size * 3 / 8);
        painter.drawEllipse(size - dot - 1, 1, dot, dot);
        m_withMark.addPixmap(picture);
    }
}

void TrayIcon::setUnread(int windows)
{
    m_marked = windows > 0;
    m_unread = windows;
    setIcon(m_marked ? m_withMark : m_plain);
    showTip();
}

void TrayIcon::setMoving(int transfers)
{
    m_moving = transfers;
    showTip();
}

void TrayIcon::showTip()
{
    QString tip = Tip;
    if (m_unread > 0)
        tip += u'\n' + QString::number(m_unread)
            + (m_unread == 1 ? QStringLiteral(" conversación sin leer")
                             : QStringLiteral(" conversaciones sin leer"));
    if (m_moving > 0)
        tip += u'\n' + QString::number(m_moving)
            + (m_moving == 1 ? QStringLiteral(" transferencia en curso")
                             : QStringLiteral(" transferencias en curso"));
    setToolTip(tip);
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
