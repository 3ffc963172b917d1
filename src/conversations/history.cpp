#include "conversations/history.h"

#include "layouts/plain_text.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

namespace {
const QString kSeparator = QStringLiteral("<Fin de los mensajes anteriores>");
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
    auto *find = new QShortcut(QKeySequence::Find, this, this, &History::searchWanted);
    find->setContext(Qt::WindowShortcut);
}

void History::setStore(HistoryStore &store, std::function<history::Conversation()> conversation)
{
    m_source = [&store, conversation](qint64 id, bool older, int count) {
        return older ? store.before(conversation(), id, count) : store.after(conversation(), id, count);
    };
    m_clear = [&store, conversation] { store.clear(conversation()); };
}

void History::clearStored()
{
    if (m_clear && plain::ask(window(), QStringLiteral("Borrar historial"),
                              QStringLiteral("¿Borrar todas las líneas guardadas de esta "
                                             "conversación?"),
                              QStringLiteral("Borrar"), QStringLiteral("Cancelar"))) {
        m_clear();
        clearShown();
    }
}

void History::setNoticeStyle(const QColor &colour, bool emphasis)
{
    m_noticeColour = colour;
    m_noticeEmphasis = emphasis;
}

QList<History::Piece> History::piecesOf(const history::Line &line, bool earlier) const
{
    const QString end = QStringLiteral("\r\n");
    if (line.kind == history::Kind::Notice)
        return {{line.text + end, earlier ? Grey : m_noticeColour, m_noticeEmphasis}};
    const QColor writer = earlier ? Grey : line.kind == history::Kind::Mine ? Red : Blue;
    QList<Piece> pieces = {{line.writer + QStringLiteral(" : "), writer, true},
                           {line.text, earlier ? Grey : Black, false}};
    if (const Shown shown = shownOf(line, 0); shown.mark != history::Mark::None)
        pieces.append({markText(shown.mark), Grey, false, true});
    pieces.last().text += end;
    return pieces;
}

QString History::markText(history::Mark mark)
{
    switch (mark) {
    case history::Mark::None:
        break;
    case history::Mark::Sending:
        return QStringLiteral(" enviando…");
    case history::Mark::Kept:
        return QStringLiteral(" guardado");
    case history::Mark::Delivered:
        return QStringLiteral(" entregado");
    case history::Mark::Read:
        return QStringLiteral(" leído");
    case history::Mark::Failed:
        return QStringLiteral(" no entregado");
    }
    return QString();
}

History::Shown History::shownOf(const history::Line &line, int blocks) const
{
    // Marks on lines received only record what the user's client told.
    if (line.kind != history::Kind::Mine || line.ref.isEmpty())
        return {line.id, blocks};
    return {line.id, blocks, line.ref, line.mark};
}

QTextCharFormat History::formatOf(const Piece &piece) const
{
    QTextCharFormat format;
    format.setForeground(piece.colour);
    format.setFontWeight(piece.emphasis ? QFont::Bold : QFont::Normal);
    if (piece.small && font().pointSizeF() > 0)
        format.setFontPointSize(font().pointSizeF() * 0.85);
    return format;
}

int History::write(QTextCursor &cursor, const history::Line &line, bool earlier)
{
    const int before = document()->blockCount();
    for (const Piece &piece : piecesOf(line, earlier))
        cursor.insertText(piece.text, formatOf(piece));
    return document()->blockCount() - before;
}

void History::setMark(const QString &ref, history::Mark mark)
{
    // Not written yet: written with it.
    for (history::Line &line : m_new) {
        if (line.ref == ref)
            line.mark = mark;
    }
    int blocks = 0;
    for (Shown &line : m_shown) {
        blocks += line.blocks;
        if (line.ref != ref || line.mark == history::Mark::None)
            continue;
        // The mark ends the line's last block: only its characters are replaced.
        const QTextBlock last = document()->findBlockByNumber(blocks - 1);
        const int end = last.position() + last.length() - 1;
        QTextCursor cursor(document());
        cursor.setPosition(end - int(markText(line.mark).size()));
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        cursor.insertText(markText(mark), formatOf({QString(), Grey, false, true}));
        line.mark = mark;
        return;
    }
}

int History::write(const history::Line &line, bool earlier, bool atStart)
{
    QTextCursor cursor(document());
    cursor.movePosition(atStart ? QTextCursor::Start : QTextCursor::End);
    // One edit: the document lays the new text out once, not once per piece.
    cursor.beginEditBlock();
    const int blocks = write(cursor, line, earlier);
    cursor.endEditBlock();
    return blocks;
}

void History::add(const history::Line &line)
{
    // The user's own line brings a reader who was looking at an older stretch back to the end.
    if (!m_atNewest && line.kind == history::Kind::Mine && m_source) {
        clearShown();
        m_loading = true;
        for (const history::Line &newest : m_source(HistoryStore::Newest, true, Page)) {
            m_shown.push_back(shownOf(newest, write(newest, newest.id < m_earlierBelow, false)));
            m_newestId = std::max(m_newestId, newest.id);
        }
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());
        m_loading = false;
    }
    if (!m_atNewest || (line.id != 0 && line.id <= m_newestId))
        return;
    m_newestId = std::max(m_newestId, line.id);
    m_new.append(line);
    if (!std::exchange(m_refreshPending, true))
        QTimer::singleShot(FrameMs, this, &History::refresh);
}

void History::writeNew()
{
    if (m_new.isEmpty())
        return;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    for (const history::Line &line : std::exchange(m_new, {}))
        m_shown.push_back(shownOf(line, write(cursor, line, false)));
    cursor.endEditBlock();
}

void History::clearShown()
{
    m_shown.clear();
    m_new.clear();
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
        m_shown.push_back(shownOf(line, write(line, true, false)));
        m_newestId = std::max(m_newestId, line.id);
    }
    m_earlierBelow = m_newestId + 1;
    if (!lines.isEmpty())
        m_shown.push_back({0, write({0, {}, history::Kind::Notice, QString(), kSeparator}, true, false)});
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
            m_shown.push_back(shownOf(line, write(line, line.id < m_earlierBelow, false)));
            if (line.id == id)
                hitBlock = first, hitBlocks = m_shown.back().blocks;
            m_newestId = std::max(m_newestId, line.id);
        }
    }
    m_atNewest = newer.size() < Page / 2;
    // The line found, selected, in the middle of the view.
    QTextCursor cursor(document()->findBlockByNumber(hitBlock));
    cursor.setPosition(document()->findBlockByNumber(hitBlock + hitBlocks).position() - 1,
                       QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    centerCursor();
    m_loading = false;
}

void History::trim(bool followingNewest)
{
    // While the reader follows the newest lines the oldest go in batches; a reader who scrolled
    // back keeps more, but not without end.
    const std::size_t held = followingNewest ? Limit + Limit / 2 : 3 * Limit;
    if (m_shown.size() <= held)
        return;
    int blocks = 0;
    while (m_shown.size() > Limit) {
        blocks += m_shown.front().blocks;
        m_shown.pop_front();
    }
    // Selected by position: moving block by block would lay out every block on the way.
    QTextCursor cursor(document());
    cursor.setPosition(document()->findBlockByNumber(blocks).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
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
        m_shown.push_front(shownOf(*line, write(*line, line->id < m_earlierBelow, true)));
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
        cursor.setPosition(
            document()->findBlockByNumber(document()->blockCount() - 1 - dropped).position(),
            QTextCursor::KeepAnchor);
        cursor.removeSelectedText();
        m_atNewest = false;
        m_new.clear();
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
        m_shown.push_back(shownOf(line, write(line, line.id < m_earlierBelow, false)));
        m_newestId = std::max(m_newestId, line.id);
    }
    m_atNewest = lines.size() < Page;
    trim(false);
    m_loading = false;
}

void History::refresh()
{
    m_refreshPending = false;
    // A reader who scrolled back keeps their place; otherwise the newest line stays in view.
    QScrollBar *bar = verticalScrollBar();
    const bool followingNewest = bar->value() >= bar->maximum();
    m_loading = true;
    writeNew();
    trim(followingNewest);
    if (followingNewest)
        bar->setValue(bar->maximum());
    m_loading = false;
}

void History::contextMenuEvent(QContextMenuEvent *event)
{
    QMenu *menu = createStandardContextMenu(event->pos());
    menu->addSeparator();
    menu->addAction(QStringLiteral("Buscar…"), QKeySequence::Find, this, &History::searchWanted);
    menu->addAction(QStringLiteral("Borrar historial"), this, &History::clearStored);
    menu->exec(event->globalPos());
    delete menu;
}
