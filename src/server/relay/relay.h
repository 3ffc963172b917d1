#pragma once

#include "server/event_log.h"
#include "server/net/connection.h"
#include "server/relay/address_limits.h"
#include "server/relay/guest.h"
#include "server/server_config.h"
#include "server/store/kept_store.h"

#include <QElapsedTimer>
#include <QHash>
#include <QList>
#include <QString>

#include <memory>
#include <unordered_map>

class QTextStream;

// Where the log says something happened to the server itself.
inline const QString ServerItself = QStringLiteral("-");

// What the relay's topics share: the configuration and the log, the limits per address, the
// store, and who is connected and who is online. The relay never passes on what a client claims
// about itself: every field that names the sender is the nickname its connection logged in with,
// and every message is rebuilt from its fields.
struct Relay {
    Relay(const ServerConfig &config, QTextStream &log);

    // Milliseconds of the relay's clock.
    qint64 now() const { return clock.elapsed(); }
    Guest *find(const Connection *connection);
    Guest *find(quint64 connection);
    // Online under a nickname that folds to this form; under exactly this nickname.
    Guest *onlineAs(const QString &form) const { return byForm.value(form); }
    Guest *onlineNamed(const QString &nickname) const;
    // One message to a guest, sent on behalf of another guest, or of the server (none).
    void send(Guest &to, const QString &message, const Guest *from = nullptr,
              Presence presence = Presence::None);

    ServerConfig config;
    // Encryption is offered (the identity loaded): secrets are then given and taken only
    // encrypted.
    bool offersTls = false;
    EventLog log;
    AddressLimits limits;
    QElapsedTimer clock;
    // Claims, kept lines and waiting marks; none without a usable disk.
    std::unique_ptr<KeptStore> store;
    std::unordered_map<const Connection *, Guest> guests;
    QHash<quint64, Connection *> connections; // by id
    // Logged-in guests in the order they logged in, and by their folded nicknames.
    QList<Guest *> online;
    QHash<QString, Guest *> byForm;
};
