#pragma once

#include <QColor>
#include <QPlainTextEdit>

#include <deque>
#include <functional>

#include "core/history_store.h"

// A conversation's history as the user reads it. New lines come at the end, each piece with its
// own colour and emphasis (bold); text is inserted as plain text, never interpreted as markup.
//
// It holds a bounded window of lines, however many the conversation has: lines that fall out of
// it stay on disk, and come back when the reader scrolls to them. New lines are written once per
// frame, all together: the document lays out and the widget repaints once for them, however
// many came, and the newest line stays in view unless the reader scrolled back.
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
    // Up to count lines of the conversation before (older) or after an id, oldest first.
    using Source = std::function<QList<history::Line>(qint64 id, bool older, int count)>;

    // Lines held at most while following the newest; past it the oldest go, a batch at a time.
    static constexpr int Limit = 1000;
    // Lines fetched at a time when the reader reaches either end.
    static constexpr int Page = 200;

    explicit History(QWidget *parent = nullptr);

    // How notices look in this window.
    void setNoticeStyle(const QColor &colour, bool emphasis);
    // Where the conversation's lines are kept: earlier ones come from there, and "Borrar
    // historial" deletes them there once the user has confirmed it.
    void setStore(HistoryStore &store, std::function<history::Conversation()> conversation);

    // A line of the conversation as it happens. One already shown, or one that comes while the
    // reader looks at a stretch before the newest lines, is shown when the reader gets there.
    void add(const history::Line &line);
    // The newest lines before `id`, marked as earlier ones, in place of what is shown.
    void showEarlier(qint64 id);
    // The lines around one, in place of what is shown, that line selected and in view.
    void showAround(qint64 id);
    // Nothing shown, as for a conversation whose history is gone.
    void clearShown();
    // The user's line with this id has moved on.
    void setMark(const QString &ref, history::Mark mark);
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
    struct Shown {
        qint64 id;
        int blocks;
        // The mark shown beside an own line, and that line's id.
        QString ref = {};
        history::Mark mark = history::Mark::None;
    };

    QList<Piece> piecesOf(const history::Line &line, bool earlier) const;
    // Writes the line at the cursor, at the end or at the start of the document; returns the
    // blocks it took.
    int write(QTextCursor &cursor, const history::Line &line, bool earlier);
    int write(const history::Line &line, bool earlier, bool atStart);
    Shown shownOf(const history::Line &line, int blocks) const;
    QTextCharFormat formatOf(const Piece &piece) const;
    // Writes the lines that came since the last frame.
    void writeNew();
    void trim(bool followingNewest);
    void scrolled(int value);
    void loadOlder();
    void loadNewer();
    void refresh();
    void clearStored();

    Source m_source;
    std::function<void()> m_clear;
    QColor m_noticeColour = Black;
    bool m_noticeEmphasis = true;
    std::deque<Shown> m_shown;
    QList<history::Line> m_new;
    // Older lines may be on disk.
    bool m_olderLeft = true;
    // The newest line is shown: new lines are appended as they come.
    bool m_atNewest = true;
    qint64 m_newestId = 0;
    // Lines below this id are from before the window opened.
    qint64 m_earlierBelow = 0;
    bool m_loading = false;
    bool m_refreshPending = false;
};
