#pragma once

#include <QColor>
#include <QPlainTextEdit>

#include <deque>
#include <functional>

#include "core/history_model.h"

// A conversation's history as the user reads it, written from its model: new lines come at the
// end, each piece with its own colour and emphasis (bold); text is inserted as plain text, never
// interpreted as markup, and stays selectable across lines.
//
// New lines are written once per frame, all together: the document lays out and the widget
// repaints once for them, however many came, and the newest line stays in view unless the
// reader scrolled back. Reaching the top or the bottom brings the lines the model holds no more.
//
// Beside each of the user's own lines that has a mark, where the line is ("entregado"), in small
// grey text that changes in place as the line moves on.
class History : public QPlainTextEdit {
    Q_OBJECT

public:
    struct Piece {
        QString text;
        QColor colour;
        bool emphasis;
        bool small = false;
    };

    explicit History(QWidget *parent = nullptr);

    HistoryModel &model() { return m_model; }
    // How notices look in this window.
    void setNoticeStyle(const QColor &colour, bool emphasis);
    // Where the conversation's lines are kept: earlier ones come from there, and "Borrar
    // historial" deletes them there once the user has confirmed it.
    void setStore(HistoryStore &store, std::function<history::Conversation()> conversation);

    // As the model's verbs; showAround() also selects that line and brings it into view.
    void add(const history::Line &line) { m_model.append(line); }
    void showEarlier(qint64 id) { m_model.showEarlier(id); }
    void showAround(qint64 id);
    void clearShown() { m_model.clear(); }
    void setMark(const QString &ref, history::Mark mark) { m_model.setMark(ref, mark); }
    // What a mark says beside the line ("" for none), a blank before it.
    static QString markText(history::Mark mark);

    static inline const QColor Red{255, 0, 0};
    static inline const QColor Blue{0, 0, 255};
    static inline const QColor Black{0, 0, 0};
    // Lines of an earlier time.
    static inline const QColor Grey{112, 112, 112};

    static constexpr int FrameMs = 16;

Q_SIGNALS:
    // Ctrl+F in the window, or "Buscar…" in the history's menu.
    void searchWanted();

protected:
    void contextMenuEvent(QContextMenuEvent *event) override;

private:
    // A row of the model as written: the blocks it took, and the mark written beside it.
    struct Written {
        int blocks;
        history::Mark mark;
    };

    QList<Piece> piecesOf(const QModelIndex &row) const;
    QTextCharFormat formatOf(const Piece &piece) const;
    // Writes rows first..last at the cursor.
    void write(QTextCursor &cursor, int first, int last, std::deque<Written>::iterator at);
    // The blocks before a row.
    int blocksBefore(std::size_t row) const;
    void rewrite();
    void inserted(int first, int last);
    void removed(int first, int last);
    void changed(const QModelIndex &top, const QModelIndex &bottom);
    // Writes the rows that came since the last frame.
    void writeNew();
    void scrolled(int value);
    void loadOlder();
    void loadNewer();
    void refresh();
    void clearStored();

    HistoryModel m_model;
    QColor m_noticeColour = Black;
    bool m_noticeEmphasis = true;
    // The model's first rows, as written; the rest are still to be written.
    std::deque<Written> m_written;
    bool m_loading = false;
    bool m_refreshPending = false;
};
