#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <memory>

// Announces the server on the local network (DNS-SD), so that a client finds it without its
// address being typed. The relay publishes once it listens and withdraws as it stops.
class LanAnnouncer {
public:
    virtual ~LanAnnouncer() = default;
    // A service instance `name` of `type` (such as "_korvex._tcp") on `port`, with TXT records
    // "key=value". What becomes of it goes to the log through the announcer's own means.
    virtual void publish(const QString &name, const QString &type, quint16 port,
                         const QStringList &txt) = 0;
    // Takes the announcement back, if there is one.
    virtual void withdraw() = 0;
};

// Through the Avahi daemon, on the caller's event loop. Each thing to tell the log, such as why
// the server is not announced (no daemon), goes to `say`: a failure once in the announcer's life.
std::unique_ptr<LanAnnouncer> makeAvahiAnnouncer(std::function<void(const QString &)> say);
