#pragma once

#include "server/net/presence.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <span>
#include <vector>

class Connection;

// Who comes and who goes, told to every user logged in: said once, and heard by each reader when
// it is next sent anything or when everyone is told, whichever comes first. Everyone is told at
// the end of the turn, but no sooner after the last time than that took: a storm of log-ins
// among thousands of users then visits each reader once for many log-ins, not once a turn (at
// 10,000 encrypted users, telling everyone took 60 ms and followed each of the 4 turns a log-in
// takes).
class Announcements : public QObject {
public:
    Announcements();

    struct Said {
        QByteArray message;
        quint64 from;
        QString about;
        Presence presence;
    };

    // Sent by the connection with that id, about the user with that nickname.
    void add(const QByteArray &message, quint64 from, const QString &about, Presence presence);
    // A reader hears what is said from now on: its place among the readers.
    qsizetype join(Connection *reader);
    // What its reader has not heard yet, heard from now on.
    std::span<const Said> unheard(qsizetype place);
    // It hears nothing more; its place goes to the next reader that joins.
    void forget(qsizetype place);

private:
    // Every reader hears what was said; the list starts again.
    void tellEveryone();

    struct Reader {
        Connection *connection = nullptr;
        // The list it heard last, and how much of it.
        quint64 round = 0;
        size_t heard = 0;
    };

    std::vector<Said> m_said;
    std::vector<Reader> m_readers;
    std::vector<qsizetype> m_free;
    // Waits for the time that telling everyone last took to pass after it; in ns of the clock.
    QTimer m_wait;
    QElapsedTimer m_clock;
    qint64 m_told = 0;
    qint64 m_took = 0;
    // Counts the lists started, so that a reader knows a new one from the one it last heard.
    quint64 m_round = 0;
};
