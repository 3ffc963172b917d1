#pragma once

#include "server/admin_channel.h"
#include "server/net/connection.h"
#include "server/net/lan_announcer.h"
#include "server/net/tls_context.h"
#include "server/net/timer_queue.h"
#include "server/net/turn.h"
#include "server/relay/admin_commands.h"
#include "server/relay/admission.h"
#include "server/relay/desks.h"
#include "server/relay/files.h"
#include "server/relay/private_lines.h"
#include "server/relay/relay.h"
#include "server/relay/room.h"
#include "server/relay/roster.h"
#include "server/server_config.h"

#include <QObject>
#include <QString>
#include <QTcpServer>
#include <QTimer>

#include <functional>
#include <limits>
#include <memory>

class QTextStream;

// Hands each connection's descriptor on as it is accepted: the relay makes its own streams.
class Listener : public QTcpServer {
public:
    std::function<void(qintptr)> accepted;

protected:
    void incomingConnection(qintptr descriptor) override;
};

// The messenger's relay server: it accepts the clients' connections and hands what each sends
// to the topic it concerns (who may log in, who is online, the room, private lines, the
// administrator's commands) through one table of commands. docs/PROTOCOL.md says what the relay
// does where the protocol leaves it open.
class RelayServer : public QObject, private Connection::Events {
    Q_OBJECT

public:
    RelayServer(const ServerConfig &config, QTextStream &log, QObject *parent = nullptr);
    ~RelayServer() override;

    // Listens, and announces the server on the local network unless told not to.
    bool listen();
    // Announces through this rather than the Avahi daemon; before listen().
    void setAnnouncer(std::unique_ptr<LanAnnouncer> announcer) { m_announcer = std::move(announcer); }

    // One administrator command line: "msg TEXT", "boot NICK", "users", "claims" or
    // "release NICK". Answers with the lines it wrote to the log, each behind where it happened.
    AdminAnswer admin(const QString &line) { return m_adminCommands.run(line); }
    // What the administrator may type, one line.
    static QString adminHelp() { return AdminCommands::help(); }

Q_SIGNALS:
    // Part of what a client sent has been handled, whether it had an effect or not: this many
    // bytes of its stream. `peer` is the client's address as the log shows it.
    void readHandled(const QString &peer, qint64 bytes);

private:
    struct Command;
    // The command of that word, if a client may send it.
    static const Command *command(QStringView word);

    void accept(qintptr descriptor);
    // Closes a connection refused for its address after a while.
    void refuseLater(qintptr descriptor);
    Connection::Charge charge(const Connection &connection, const QByteArray &message) override;
    void messageRead(Connection &connection, const QByteArray &bytes) override;
    void taken(Connection &connection, qint64 bytes) override;
    void closed(Connection &connection, const QString &reason) override;
    void pilingUp(Connection &connection, quint64 from) override;
    void relieved(Connection &connection, quint64 from) override;
    void logOut(Guest &guest);
    // A sender whose messages pile up at a reader waits, unread, until they have gone.
    void holdBack(quint64 id, const Connection &reader, bool hold);
    // The announcement: the service's type and port, the features offered and the first
    // digits of the certificate's fingerprint, by which a client recognises the server.
    void announce(const QString &fingerprint);

    Relay m_relay;
    Roster m_roster;
    Room m_room;
    PrivateLines m_lines;
    Files m_files;
    Desks m_desks;
    Admission m_admission;
    AdminCommands m_adminCommands;
    QTimer m_summaries;
    QTimer m_trim;
    // Refused connections waiting to be closed.
    int m_refusing = 0;
    Listener m_listener;
    std::unique_ptr<TlsContext> m_tls;
    std::unique_ptr<LanAnnouncer> m_announcer;
    // The gaps between messages to plain clients, kept on one timer for them all; the writes of
    // one turn, made at its end.
    TimerQueue m_pacer;
    Turn m_turn;
    quint64 m_ids = 0;
    // The highest descriptor a connection may have; whether the last one was past it.
    qintptr m_lastDescriptor = std::numeric_limits<qintptr>::max();
    bool m_full = false;
};
