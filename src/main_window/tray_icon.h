#pragma once

#include <QSystemTrayIcon>

class QMainWindow;
class QMenu;

// The main window's icon in the desktop's notification area. A left click or a double-click
// shows the main window; a right click opens the menu it is given (the states, then "Archivo"
// as it stands). On a desktop without a notification area the program runs without an icon.
class TrayIcon : public QSystemTrayIcon {
    Q_OBJECT

public:
    // Identifies the icon together with its window.
    static constexpr int Id = 1;
    static inline const QString Tip = QStringLiteral("Dravonet Mensajero - By Dravo");

    TrayIcon(QMainWindow *window, QMenu *menu);

    void add();
    void remove();
    // Marks the icon and counts the windows with unread lines in its tip (none: as at first).
    void setUnread(int windows);
    // Counts the files on their way, sent or received, in its tip.
    void setMoving(int transfers);
    bool isMarked() const { return m_marked; }

private:
    void activatedBy(QSystemTrayIcon::ActivationReason reason);
    void showTip();

    QMainWindow *m_window;
    QMenu *m_menu;
    QIcon m_plain;
    QIcon m_withMark;
    bool m_marked = false;
    int m_unread = 0;
    int m_moving = 0;
};
