#include "conversations/history.h"

#include <QScrollBar>
#include <QTextCursor>
#include <QTimer>

History::History(QWidget *parent) : QPlainTextEdit(parent)
{
    // What the user types here would be read by nobody; selecting and copying still work.
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
}

void History::append(const QString &text, const QColor &colour, bool emphasis)
{
    if (!m_refreshPending) {
        m_refreshPending = true;
        // A reader who scrolled back keeps their place; otherwise the newest line stays in view.
        const QScrollBar *bar = verticalScrollBar();
        m_followNewest = bar->value() >= bar->maximum();
        setUpdatesEnabled(false);
        QTimer::singleShot(FrameMs, this, &History::refresh);
    }
    QTextCharFormat format;
    format.setForeground(colour);
    format.setFontWeight(emphasis ? QFont::Bold : QFont::Normal);
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.insertText(text, format);
}

void History::refresh()
{
    m_refreshPending = false;
    if (m_followNewest)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    setUpdatesEnabled(true);
}
