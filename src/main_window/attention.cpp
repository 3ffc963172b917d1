#include "main_window/attention.h"

#include "main_window/tray_icon.h"

#include <QApplication>
#include <QEvent>

namespace {

// Desktop notices may read their text as markup; these lines are what people typed.
QString literal(QString text)
{
    return text.replace(QLatin1Char('&'), QStringLiteral("&amp;"))
        .replace(QLatin1Char('<'), QStringLiteral("&lt;"))
        .replace(QLatin1Char('>'), QStringLiteral("&gt;"));
}

} // namespace

Attention::Attention(TrayIcon &tray, QObject *parent) : QObject(parent), m_tray(tray) {}

void Attention::arrived(QWidget *window, const QString &from, const QString &text)
{
    if (!window || window->isActiveWindow())
        return;
    if (!m_quiet)
        QApplication::alert(window);
    if (!m_unread.contains(window)) {
        m_unread.append(window);
        window->installEventFilter(this);
        update();
    }
    QElapsedTimer &last = m_lastNotice[window];
    if (!m_notices || m_quiet || (last.isValid() && last.elapsed() < std::chrono::milliseconds(NoticeEvery).count()))
        return;
    last.start();
    const QString start = literal(text.size() > 80 ? text.left(79) + QChar(0x2026) : text);
    Q_EMIT notified(from, start);
    m_tray.showMessage(from, start, m_tray.icon(), 5000);
}

void Attention::fileArrived(const QString &from, const QString &name)
{
    if (!m_notices || m_quiet)
        return;
    const QString title = QStringLiteral("Archivo recibido");
    const QString text = literal(QStringLiteral("Ha llegado un archivo de ") + from
                                 + QStringLiteral(": ") + name);
    Q_EMIT notified(title, text);
    m_tray.showMessage(title, text, m_tray.icon(), 5000);
}

int Attention::unread() const
{
    return int(std::count_if(m_unread.begin(), m_unread.end(), [](const auto &w) { return w; }));
}

bool Attention::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::WindowActivate) {
        m_unread.removeAll(qobject_cast<QWidget *>(watched));
        watched->removeEventFilter(this);
        update();
    }
    return false;
}

void Attention::update()
{
    m_unread.removeAll(nullptr);
    m_tray.setUnread(unread());
}
