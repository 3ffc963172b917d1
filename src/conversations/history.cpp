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
    // Nothing is ever undone in a history; recording every insert would only cost memory.
    document()->setUndoRedoEnabled(false);
}

void History::append(std::initializer_list<Piece> pieces)
{
    if (!m_refreshPending) {
        m_refreshPending = true;
        // A reader who scrolled back keeps their place; otherwise the newest line stays in view.
        const QScrollBar *bar = verticalScrollBar();
        m_followNewest = bar->value() >= bar->maximum();
        setUpdatesEnabled(false);
        QTimer::singleShot(FrameMs, this, &History::refresh);
    }
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    // One edit: the document lays the new text out once, not once per piece.
    cursor.beginEditBlock();
    for (const Piece &piece : pieces) {
        QTextCharFormat format;
        format.setForeground(piece.colour);
        format.setFontWeight(piece.emphasis ? QFont::Bold : QFont::Normal);
        cursor.insertText(piece.text, format);
    }
    cursor.endEditBlock();
}

void History::refresh()
{
    m_refreshPending = false;
    if (m_followNewest)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    setUpdatesEnabled(true);
}
