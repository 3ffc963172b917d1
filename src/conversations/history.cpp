#include "conversations/history.h"

#include "layouts/plain_text.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QShortcut>
#include <QTextBlock>
#include <QTextCursor>
#include <QTimer>

History::History(QWidget *parent) : QPlainTextEdit(parent), m_model(this)
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
    connect(&m_model, &HistoryModel::modelReset, this, &History::rewrite);
    connect(&m_model, &HistoryModel::rowsInserted, this,
            [this](const QModelIndex &, int first, int last) { inserted(first, last); });
    connect(&m_model, &HistoryModel::rowsRemoved, this,
            [this](const QModelIndex &, int first, int last) { removed(first, last); });
    connect(&m_model, &HistoryModel::dataChanged, this, &History::changed);
}

void History::setStore(HistoryStore &store, std::function<history::Conversation()> conversation)
{
    m_model.setStore(store, std::move(conversation));
}

void History::clearStored()
{
    if (plain::ask(window(), QStringLiteral("Borrar historial"),
                   QStringLiteral("¿Borrar todas las líneas guardadas de esta conversación?"),
                   QStringLiteral("Borrar"), QStringLiteral("Cancelar")))
        m_model.clearStored();
}

void History::setNoticeStyle(const QColor &colour, bool emphasis)
{
    m_noticeColour = colour;
    m_noticeEmphasis = emphasis;
}

QList<History::Piece> History::piecesOf(const QModelIndex &row) const
{
    const QString end = QStringLiteral("\r\n");
    const auto kind = history::Kind(row.data(HistoryModel::KindRole).toInt());
    const bool earlier = row.data(HistoryModel::EarlierRole).toBool();
    const QString text = row.data().toString();
    if (kind == history::Kind::Notice)
        return {{text + end, earlier ? Grey : m_noticeColour, m_noticeEmphasis}};
    const QColor writer = earlier ? Grey : kind == history::Kind::Mine ? Red : Blue;
    const QString writerText = row.data(HistoryModel::WriterRole).toString();
    QList<Piece> pieces = {{writerText + QStringLiteral(" : "), writer, true},
                           {text, earlier ? Grey : Black, false}};
    if (const auto mark = history::Mark(row.data(HistoryModel::MarkRole).toInt());
        mark != history::Mark::None)
        pieces.append({markText(mark), Grey, false, true});
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

QTextCharFormat History::formatOf(const Piece &piece) const
{
    QTextCharFormat format;
    format.setForeground(piece.colour);
    format.setFontWeight(piece.emphasis ? QFont::Bold : QFont::Normal);
    if (piece.small && font().pointSizeF() > 0)
        format.setFontPointSize(font().pointSizeF() * 0.85);
    return format;
}

void History::write(QTextCursor &cursor, int first, int last, std::deque<Written>::iterator at)
{
    // One edit: the document lays the new text out once, not once per piece.
    cursor.beginEditBlock();
    for (int row = first; row <= last; ++row) {
        const int before = document()->blockCount();
        const QModelIndex index = m_model.index(row);
        for (const Piece &piece : piecesOf(index))
            cursor.insertText(piece.text, formatOf(piece));
        const auto mark = history::Mark(index.data(HistoryModel::MarkRole).toInt());
        at = m_written.insert(at, {document()->blockCount() - before, mark}) + 1;
    }
    cursor.endEditBlock();
}

int History::blocksBefore(std::size_t row) const
{
    int blocks = 0;
    for (std::size_t i = 0; i < row && i < m_written.size(); ++i)
        blocks += m_written[i].blocks;
    return blocks;
}

void History::rewrite()
{
    const QScopedValueRollback loading(m_loading, true);
    m_written.clear();
    clear();
    QTextCursor cursor(document());
    write(cursor, 0, m_model.rowCount() - 1, m_written.end());
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void History::inserted(int first, int last)
{
    if (std::size_t(first) >= m_written.size()) {
        // At the end: lines that come by themselves wait for the next frame.
        if (m_loading)
            writeNew();
        else if (!std::exchange(m_refreshPending, true))
            QTimer::singleShot(FrameMs, this, &History::refresh);
        return;
    }
    // Older lines, at the start: the reader stays on the line they were reading.
    const QScopedValueRollback loading(m_loading, true);
    const int blocks = document()->blockCount();
    QTextCursor cursor(document());
    write(cursor, first, last, m_written.begin());
    verticalScrollBar()->setValue(verticalScrollBar()->value() + document()->blockCount() - blocks);
}

void History::removed(int first, int last)
{
    const std::size_t end = std::min(std::size_t(last) + 1, m_written.size());
    if (std::size_t(first) >= end)
        return;
    const QScopedValueRollback loading(m_loading, true);
    const int from = blocksBefore(std::size_t(first)), to = blocksBefore(end);
    // Selected by position: moving block by block would lay out every block on the way.
    QTextCursor cursor(document());
    cursor.setPosition(document()->findBlockByNumber(from).position());
    if (end == m_written.size())
        cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    else
        cursor.setPosition(document()->findBlockByNumber(to).position(), QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    m_written.erase(m_written.begin() + first, m_written.begin() + std::ptrdiff_t(end));
}

void History::changed(const QModelIndex &top, const QModelIndex &bottom)
{
    for (int row = top.row(); row <= bottom.row() && std::size_t(row) < m_written.size(); ++row) {
        Written &line = m_written[std::size_t(row)];
        const auto mark = history::Mark(m_model.index(row).data(HistoryModel::MarkRole).toInt());
        if (line.mark == history::Mark::None || mark == line.mark)
            continue;
        // The mark ends the line's last block: only its characters are replaced.
        const int blocks = blocksBefore(std::size_t(row) + 1);
        const QTextBlock last = document()->findBlockByNumber(blocks - 1);
        const int end = last.position() + last.length() - 1;
        QTextCursor cursor(document());
        cursor.setPosition(end - int(markText(line.mark).size()));
        cursor.setPosition(end, QTextCursor::KeepAnchor);
        cursor.insertText(markText(mark), formatOf({QString(), Grey, false, true}));
        line.mark = mark;
    }
}

void History::writeNew()
{
    if (m_written.size() >= std::size_t(m_model.rowCount()))
        return;
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    write(cursor, int(m_written.size()), m_model.rowCount() - 1, m_written.end());
}

void History::showAround(qint64 id)
{
    const QScopedValueRollback loading(m_loading, true);
    const int hit = m_model.showAround(id);
    if (hit < 0)
        return;
    // The line found, selected, in the middle of the view.
    const int first = blocksBefore(std::size_t(hit));
    const int after = first + m_written[std::size_t(hit)].blocks;
    QTextCursor cursor(document()->findBlockByNumber(first));
    cursor.setPosition(document()->findBlockByNumber(after).position() - 1,
                       QTextCursor::KeepAnchor);
    setTextCursor(cursor);
    centerCursor();
}

void History::scrolled(int value)
{
    m_model.setFollowing(value >= verticalScrollBar()->maximum());
    if (m_loading)
        return;
    if (value == verticalScrollBar()->minimum() && m_model.canFetchMore({}))
        loadOlder();
    else if (value == verticalScrollBar()->maximum() && m_model.canFetchNewer())
        loadNewer();
}

void History::loadOlder()
{
    const QScopedValueRollback loading(m_loading, true);
    writeNew();
    m_model.fetchMore({});
}

void History::loadNewer()
{
    const QScopedValueRollback loading(m_loading, true);
    m_model.fetchNewer();
}

void History::refresh()
{
    m_refreshPending = false;
    // A reader who scrolled back keeps their place; otherwise the newest line stays in view.
    QScrollBar *bar = verticalScrollBar();
    const bool followingNewest = bar->value() >= bar->maximum();
    const QScopedValueRollback loading(m_loading, true);
    writeNew();
    if (followingNewest)
        bar->setValue(bar->maximum());
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
