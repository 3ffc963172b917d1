#include "core/found_servers.h"

#include "protocol/wire.h"

#include <QHash>
#include <QSet>

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/address.h>
#include <avahi-common/strlst.h>
#include <avahi-common/thread-watch.h>

namespace {

// Avahi runs its own loop on a thread of its own; what it finds crosses to the caller's thread
// as posted calls, which go with the browser's context object if it goes first.
class AvahiBrowser : public ServerBrowser {
public:
    ~AvahiBrowser() override
    {
        // The thread stops before anything it uses goes; the client takes its browser and
        // resolvers with it.
        if (m_poll)
            avahi_threaded_poll_stop(m_poll);
        if (m_client)
            avahi_client_free(m_client);
        if (m_poll)
            avahi_threaded_poll_free(m_poll);
    }

    void browse(Found found, Gone gone) override
    {
        m_found = std::move(found);
        m_gone = std::move(gone);
        m_poll = avahi_threaded_poll_new();
        if (!m_poll)
            return;
        int error = 0;
        // Without a daemon this fails at once; nothing is found, and nobody needs telling.
        m_client = avahi_client_new(avahi_threaded_poll_get(m_poll), AvahiClientFlags(0),
                                    &AvahiBrowser::clientChanged, this, &error);
        if (!m_client)
            return;
        // IPv4 only: an IPv6 link-local address would need its interface in the address box.
        if (avahi_service_browser_new(m_client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, "_korvex._tcp",
                                      nullptr, AvahiLookupFlags(0), &AvahiBrowser::browsed, this))
            avahi_threaded_poll_start(m_poll);
    }

private:
    // On Avahi's thread from here down to the posted calls.
    static void clientChanged(AvahiClient *, AvahiClientState state, void *self)
    {
        // The daemon went: so did everything it had found.
        if (state == AVAHI_CLIENT_FAILURE)
            static_cast<AvahiBrowser *>(self)->post([](AvahiBrowser *me) { me->forgetAll(); });
    }

    static void browsed(AvahiServiceBrowser *browser, AvahiIfIndex interface,
                        AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                        const char *type, const char *domain, AvahiLookupResultFlags, void *self)
    {
        auto *me = static_cast<AvahiBrowser *>(self);
        // Seen on each interface apart: one name, listed while any of them has it.
        const QString seen = QString::fromUtf8(name);
        const QString instance = seen + u'/' + QString::number(interface);
        if (event == AVAHI_BROWSER_NEW) {
            avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface,
                                       protocol, name, type, domain, AVAHI_PROTO_INET,
                                       AvahiLookupFlags(0), &AvahiBrowser::resolved, self);
        } else if (event == AVAHI_BROWSER_REMOVE) {
            me->post([seen, instance](AvahiBrowser *me) { me->lost(seen, instance); });
        }
    }

    static void resolved(AvahiServiceResolver *resolver, AvahiIfIndex interface, AvahiProtocol,
                         AvahiResolverEvent event, const char *name, const char *, const char *,
                         const char *, const AvahiAddress *address, uint16_t port,
                         AvahiStringList *txt, AvahiLookupResultFlags, void *self)
    {
        // The protocol's port is the only one a client connects to.
        if (event == AVAHI_RESOLVER_FOUND && port == wire::ServerPort) {
            char text[AVAHI_ADDRESS_STR_MAX] = {};
            avahi_address_snprint(text, sizeof text, address);
            FoundServer server{QString::fromUtf8(name), QString::fromLatin1(text), false, {}};
            for (AvahiStringList *record = txt; record; record = avahi_string_list_get_next(record)) {
                const QByteArray pair(reinterpret_cast<const char *>(avahi_string_list_get_text(record)),
                                      qsizetype(avahi_string_list_get_size(record)));
                const QByteArray value = pair.mid(pair.indexOf('=') + 1);
                if (pair.startsWith("features="))
                    server.encrypts = value.split(',').contains(wire::Tls.toLatin1());
                else if (pair.startsWith("fp="))
                    server.fingerprint = QString::fromLatin1(value);
            }
            const QString instance = server.name + u'/' + QString::number(interface);
            static_cast<AvahiBrowser *>(self)->post(
                [server, instance](AvahiBrowser *me) { me->arrived(server, instance); });
        }
        avahi_service_resolver_free(resolver);
    }

    void post(std::function<void(AvahiBrowser *)> call)
    {
        QMetaObject::invokeMethod(&m_context, [this, call] { call(this); }, Qt::QueuedConnection);
    }

    // On the caller's thread.
    void arrived(const FoundServer &server, const QString &instance)
    {
        m_instances[server.name].insert(instance);
        m_found(server);
    }

    void lost(const QString &name, const QString &instance)
    {
        auto at = m_instances.find(name);
        if (at == m_instances.end() || !at->remove(instance) || !at->isEmpty())
            return;
        m_instances.erase(at);
        m_gone(name);
    }

    void forgetAll()
    {
        for (const QString &name : m_instances.keys())
            m_gone(name);
        m_instances.clear();
    }

    Found m_found;
    Gone m_gone;
    AvahiThreadedPoll *m_poll = nullptr;
    AvahiClient *m_client = nullptr;
    QHash<QString, QSet<QString>> m_instances;
    QObject m_context;
};

} // namespace

std::unique_ptr<ServerBrowser> makeAvahiBrowser()
{
    return std::make_unique<AvahiBrowser>();
}
