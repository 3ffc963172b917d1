#pragma once

#include <QHash>
#include <QString>

#include <deque>
#include <optional>

// Where the marks on a sender's lines go, beside the connection it wrote from.

// The lines with an id relayed lately, by their sender's folded nickname and id, and where each
// is now. A client that did not hear where its line went sends it again with the same id at its
// next log-in; such a line is told its mark again rather than relayed twice. Bounded: the oldest
// are forgotten first, and one forgotten is relayed again (its recipient drops it by id).
class RecentLines {
public:
    enum class Where : quint8 { Underway, Kept, Delivered, Read, Failed };

    explicit RecentLines(qsizetype capacity = 50'000);

    std::optional<Where> find(const QString &sender, const QString &id) const;
    // Adds the line, or moves it on.
    void note(const QString &sender, const QString &id, Where where);

private:
    // A 64-bit digest under a seed of this run's, not the strings: a few bytes a line.
    quint64 key(const QString &sender, const QString &id) const;

    qsizetype m_capacity;
    QHash<quint64, Where> m_where;
    std::deque<quint64> m_order;
};

// Those who logged out without holding a claim but with a token to log in with again. The marks
// on their lines that come while they are away wait in a box named by that token, for the log-in
// that presents it, and nobody else's: another user may take the same nickname meanwhile. One
// whose token is not known here (a plain client) has no box; its marks are dropped. Bounded:
// the oldest departures are forgotten first.
class Departures {
public:
    explicit Departures(qsizetype capacity = 10'000);

    // The box a token names: longer than any nickname, so never a claim's.
    static QString boxOf(const QString &token);

    // The log-in known by this identity left with this token.
    void left(const QString &identity, const QString &token);
    // The identity that left with this token, forgotten here now; empty if none.
    QString cameBack(const QString &token);
    // Where marks for the identity wait while it is away; empty: nowhere.
    QString boxFor(const QString &identity) const;

private:
    qsizetype m_capacity;
    QHash<QString, QString> m_boxes; // by identity
    QHash<QString, QString> m_identities; // by box
    // Identities and their boxes, oldest first; some may have come back or left again since.
    std::deque<std::pair<QString, QString>> m_order;
};
