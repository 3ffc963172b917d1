#pragma once

#include <QString>
#include <QStringView>

class QHostAddress;
class QTextStream;

// The server's log: one line per event, with local time (ISO 8601), where it happened (a peer's
// address or "-" for the server itself) and what happened. Each line is flushed at once, so a
// log piped to a file or a terminal is always current.
class EventLog {
public:
    explicit EventLog(QTextStream &out) : m_out(out) {}

    void write(const QString &where, const QString &what);

private:
    QTextStream &m_out;
};

// A nickname or other client-chosen text as it goes into the log: quoted, with `"` and `\`
// escaped by a `\` and control characters replaced, so that no client can forge or break log
// lines; past its first 64 characters only its length is said.
QString quoted(QStringView text);

// An address and port as the log shows them: 192.0.2.7:40000, [2001:db8::7]:40000, or *:12584
// for every interface. A dual-stack listener sees IPv4 clients as mapped IPv6 addresses; they
// are shown the way their users know them.
QString endpoint(const QHostAddress &address, quint16 port);
