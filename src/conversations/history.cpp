#include "conversations/history.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

namespace {
const QString kSeparator = QStringLiteral("<Fin de los mensajes anteriores>\r\n");
} // namespace

History::History(QWidget *parent) : QPlainTextEdit(parent)
{
    // What the user types here would be read by nobody; selecting and copying still work.
    setReadOnly(true);
    setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    // Nothing is ever undone in a history; recording every insert would only cost memory.
    document()->setUndoRedoEnabled(false);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, &History::scrolled);
}

void History::setNoticeStyle(const QColor &colour, bool emphasis)
{
    m_noticeColour = colour;
    m_noticeEmphasis = emphasis;
}

QList<History::Piece> History::piecesOf(const history::Line &line, bool earlier) const
{
    const QString text = line.text + QStringLiteral("\r\n");
    if (line.kind == history::Kind::Notice)
        return {{text, earlier ? Grey : m_noticeColour, m_noticeEmphasis}};
    const QColor writer = earlier ? Grey : line.kind == history::Kind::Mine ? Red : Blue;
    return {{line.writer + QStringLiteral(" : "), writer, true}, {text, earlier ? Grey : Black, false}};
}

int History::write(const history::Line &line, bool earlier, bool atStart)
{
    const int before = document()->blockCount();
    QTextCursor cursor(document());
    cursor.movePosition(atStart ? QTextCursor::Start : QTextCursor::End);
    // One edit: the document lays the new text out once, not once per piece.
    cursor.beginEditBlock();
    for (const Piece &piece : piecesOf(line, earlier)) {
        QTextCharFormat format;
        format.setForeground(piece.colour);
        format.setFontWeight(piece.emphasis ? QFont::Bold : QFont::Normal);
        cursor.insertText(piece.text, format);
    }
    cursor.endEditBlock();
    return document()->blockCount() - before;
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
    cursor.beginEditBlock();
    for (const Piece &piece : pieces) {
        QTextCharFormat format;
        format.setForeground(piece.colour);
        format.setFontWeight(piece.emphasis ? QFont::Bold : QFont::Normal);
        cursor.insertText(piece.text, format);
    }
    cursor.endEditBlock();
}

void History::add(const history::Line &line)
{
    if (!m_atNewest || (line.id != 0 && line.id <= m_newestId))
        return;
    if (!m_refreshPending) {
        m_refreshPending = true;
        const QScrollBar *bar = verticalScrollBar();
        m_followNewest = bar->value() >= bar->maximum();
        setUpdatesEnabled(false);
        QTimer::singleShot(FrameMs, this, &History::refresh);
    }
    m_newestId = std::max(m_newestId, line.id);
    m_shown.push_back({line.id, write(line, false, false)});
    trim();
}

void History::clearShown()
{
    m_shown.clear();
    m_loading = true;
    clear();
    m_loading = false;
    m_newestId = 0;
    m_olderLeft = true;
    m_atNewest = true;
}

void History::showEarlier(qint64 id)
{
    clearShown();
    if (!m_source)
        return;
    const QList<history::Line> lines = m_source(id, true, Page / 4);
    for (const history::Line &line : lines) {
        m_shown.push_back({line.id, write(line, true, false)});
        m_newestId = std::max(m_newestId, line.id);
    }
    m_earlierBelow = m_newestId + 1;
    if (!lines.isEmpty())
        m_shown.push_back({0, write({0, {}, history::Kind::Notice, QString(), kSeparator.chopped(2)},
                                    true, false)});
    m_olderLeft = lines.size() == Page / 4;
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void History::showAround(qint64 id)
{
    clearShown();
    if (!m_source)
        return;
    m_loading = true;
    const QList<history::Line> older = m_source(id + 1, true, Page / 2);
    const QList<history::Line> newer = m_source(id, false, Page / 2);
    int hitBlock = 0, hitBlocks = 0;
    for (const QList<history::Line> *part : {&older, &newer}) {
        for (const history::Line &line : *part) {
            const int first = document()->blockCount() - 1;
            m_shown.push_back({line.id, write(line, false, false)});
            if (line.id == id)
                hitBlock = first, hitBlocks = m_shown.back().blocks;
            m_newestId = std::max(m_newestId, line.id);
        }
    }
    m_atNewest = newer.size() < Page / 2;
    // The line found, selected, in the middle of the view.
    QTextCursor cursor(document()->findBlockByNumber(hitBlock));
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, hitBlocks);
    cursor.movePosition(QTextCursor::PreviousCharacter, QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    centerCursor();
    m_loading = false;
}

void History::trim()
{
    // While the reader follows the newest lines the oldest go in batches; a reader who scrolled
    // back keeps more, but not without end.
    const std::size_t held = m_followNewest ? Limit + Limit / 2 : 3 * Limit;
    if (m_shown.size() <= held)
        return;
    int blocks = 0;
    while (m_shown.size() > Limit) {
        blocks += m_shown.front().blocks;
        m_shown.pop_front();
    }
    m_loading = true;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, blocks);
    cursor.removeSelectedText();
    m_loading = false;
    m_olderLeft = true;
}

void History::scrolled(int value)
{
    if (m_loading || !m_source)
        return;
    if (value == verticalScrollBar()->minimum() && m_olderLeft)
        loadOlder();
    else if (value == verticalScrollBar()->maximum() && !m_atNewest)
        loadNewer();
}

void History::loadOlder()
{
    const auto oldest = std::find_if(m_shown.begin(), m_shown.end(),
                                     [](const Shown &line) { return line.id > 0; });
    if (oldest == m_shown.end()) {
        m_olderLeft = false;
        return;
    }
    m_loading = true;
    const QList<history::Line> lines = m_source(oldest->id, true, Page);
    int blocks = 0;
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        // Older than what is shown: from before this window, or fallen out of it.
        m_shown.push_front({line->id, write(*line, line->id < m_earlierBelow, true)});
        blocks += m_shown.front().blocks;
    }
    m_olderLeft = lines.size() == Page;
    // The reader stays on the line they were reading.
    verticalScrollBar()->setValue(verticalScrollBar()->value() + blocks);
    // Too much held: the newest go, and come back when the reader scrolls down again.
    if (m_shown.size() > 3 * Limit) {
        int dropped = 0;
        while (m_shown.size() > 2 * Limit) {
            dropped += m_shown.back().blocks;
            m_shown.pop_back();
        }
        QTextCursor cursor(document());
        cursor.movePosition(QTextCursor::End);
        cursor.movePosition(QTextCursor::PreviousBlock, QTextCursor::KeepAnchor, dropped);
        cursor.removeSelectedText();
        m_atNewest = false;
        const auto newest = std::find_if(m_shown.rbegin(), m_shown.rend(),
                                         [](const Shown &line) { return line.id > 0; });
        m_newestId = newest == m_shown.rend() ? 0 : newest->id;
    }
    m_loading = false;
}

void History::loadNewer()
{
    m_loading = true;
    const QList<history::Line> lines = m_source(m_newestId, false, Page);
    for (const history::Line &line : lines) {
        m_shown.push_back({line.id, write(line, line.id < m_earlierBelow, false)});
        m_newestId = std::max(m_newestId, line.id);
    }
    m_atNewest = lines.size() < Page;
    m_loading = false;
    trim();
}

void History::refresh()
{
    m_refreshPending = false;
    if (m_followNewest) {
        m_loading = true;
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        m_loading = false;
    }
    setUpdatesEnabled(true);
}

void History::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createStandardContextMenu(event->pos());
    menu->addSeparator();
    menu->addAction(QStringLiteral("Buscar…"), QKeySequence::Find, this, &History::searchWanted);
    menu->addAction(QStringLiteral("Borrar historial"), this, &History::clearWanted);
    menu->exec(event->globalPos());
    delete menu;
}
