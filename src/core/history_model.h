#pragma once

#include <QAbstractListModel>

#include <deque>
#include <functional>

#include "core/history_store.h"

// One conversation's history as its window shows it: one row per line, oldest first.
//
// It holds a bounded window of lines, however many the conversation has: lines that fall out of
// it stay in the store, and come back a page at a time, older ones through fetchMore() and newer
// ones, after a jump back in time, through fetchNewer().
//
// Rows carry the line's parts as roles; a view writes each row as it comes and keeps it up to
// date from the model's signals: rows inserted at the start (older lines) or at the end, rows
// removed from either end, a mark changed in place (dataChanged), or everything anew (reset).
class HistoryModel : public QAbstractListModel {
    Q_OBJECT

public:
    enum Role {
        // Qt::DisplayRole is the line's text.
        WriterRole = Qt::UserRole,
        KindRole,    // history::Kind
        // A line of an earlier time: from before the window opened, or the separator after them.
        EarlierRole,
        // history::Mark of the user's own lines that have one; None on every other line.
        MarkRole,
        IdRole,      // 0 for the separator
    };
    // Up to count lines of the conversation before (older) or after an id, oldest first.
    using Source = std::function<QList<history::Line>(qint64 id, bool older, int count)>;

    // Lines held at most while following the newest; past it the oldest go, a batch at a time.
    static constexpr int Limit = 1000;
    // Lines fetched at a time when the reader reaches either end.
    static constexpr int Page = 200;

    explicit HistoryModel(QObject *parent = nullptr);

    void setSource(Source source);
    // The source is the store's lines of a conversation, which clearStored() deletes there.
    void setStore(HistoryStore &store, std::function<history::Conversation()> conversation);
    void clearStored();

    // A line of the conversation as it happens. One already held, or one that comes while the
    // window holds a stretch before the newest lines, comes when the reader gets there; the
    // user's own line brings the window back to the newest lines.
    void append(const history::Line &line);
    // The newest lines before `id`, marked as earlier ones and followed by a separator, in
    // place of what is held.
    void showEarlier(qint64 id);
    // The lines around one, in place of what is held; returns that line's row (-1: not found).
    int showAround(qint64 id);
    // Nothing held, as for a conversation whose history is gone.
    void clear();
    // The user's line with this id on the wire has moved on.
    void setMark(const QString &ref, history::Mark mark);
    // Whether the reader follows the newest line: while they do, the oldest lines go sooner.
    void setFollowing(bool following);

    bool canFetchMore(const QModelIndex &parent) const override;
    // Older lines, at the start; past three times the limit the newest go.
    void fetchMore(const QModelIndex &parent) override;
    // Whether newer lines than those held are in the store.
    bool canFetchNewer() const;
    void fetchNewer();

    int rowCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

private:
    struct Row {
        history::Line line;
        bool earlier;
    };

    static Row rowOf(const history::Line &line, bool earlier);
    void reset(const std::function<void()> &fill);
    void trim(bool following);

    Source m_source;
    std::function<void()> m_clear;
    std::deque<Row> m_rows;
    // Older lines may be in the store.
    bool m_olderLeft = true;
    // The newest line is held: new lines are appended as they come.
    bool m_atNewest = true;
    bool m_following = true;
    qint64 m_newestId = 0;
    // Lines below this id are from before the window opened.
    qint64 m_earlierBelow = 0;
};
