#pragma once

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QWidget>

#include <chrono>

class TrayIcon;

// Signs of new lines in windows the user is not looking at: the window asks for attention the
// desktop's way; the notification-area icon is marked and counts the unread windows until the
// user has looked at each; and, unless turned off, a desktop notice says who wrote and how the
// line begins, at most one per window every few seconds, so that a flood makes one notice.
class Attention : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::seconds NoticeEvery{5};

    explicit Attention(TrayIcon &tray, QObject *parent = nullptr);

    // A line has come into the window: from whom, and what it says.
    void arrived(QWidget *window, const QString &from, const QString &text);
    // A file from that nickname has been saved in the download folder: a desktop notice, unless
    // turned off or busy.
    void fileArrived(const QString &from, const QString &name);
    int unread() const;
    bool notices() const { return m_notices; }
    void setNotices(bool shown) { m_notices = shown; }
    // Busy: no notices and no window asks for attention; the icon still counts unread windows.
    void setQuiet(bool quiet) { m_quiet = quiet; }

Q_SIGNALS:
    // A desktop notice went out, with its text as the desktop got it.
    void notified(const QString &title, const QString &text);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void update();

    TrayIcon &m_tray;
    QList<QPointer<QWidget>> m_unread;
    QHash<const QWidget *, QElapsedTimer> m_lastNotice;
    bool m_notices = true;
    bool m_quiet = false;
};
