#include "server/net/lan_announcer.h"

#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <utility>

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/domain.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/timeval.h>
#include <avahi-common/watch.h>

// Avahi's main loop hooks, on Qt's event loop: a watch is a notifier for reading and one for
// writing, a timeout a single-shot timer. Avahi may free either from inside its own callback,
// so the Qt objects go later.
struct AvahiWatch {
    std::unique_ptr<QSocketNotifier> read, write;
    AvahiWatchCallback callback;
    void *userdata;
    AvahiWatchEvent happened = AvahiWatchEvent(0);
};

struct AvahiTimeout {
    std::unique_ptr<QTimer> timer;
};

namespace {

void disown(std::unique_ptr<QSocketNotifier> &notifier)
{
    notifier->setEnabled(false);
    notifier.release()->deleteLater();
}

void watchUpdate(AvahiWatch *watch, AvahiWatchEvent events)
{
    watch->read->setEnabled(events & AVAHI_WATCH_IN);
    watch->write->setEnabled(events & AVAHI_WATCH_OUT);
}

AvahiWatch *watchNew(const AvahiPoll *, int fd, AvahiWatchEvent events, AvahiWatchCallback callback,
                     void *userdata)
{
    auto *watch = new AvahiWatch{std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Read),
                                 std::make_unique<QSocketNotifier>(fd, QSocketNotifier::Write),
                                 callback, userdata};
    for (QSocketNotifier *notifier : {watch->read.get(), watch->write.get()}) {
        const AvahiWatchEvent event =
            notifier == watch->read.get() ? AVAHI_WATCH_IN : AVAHI_WATCH_OUT;
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [watch, fd, event] {
            watch->happened = event;
            watch->callback(watch, fd, event, watch->userdata);
        });
    }
    watchUpdate(watch, events);
    return watch;
}

AvahiWatchEvent watchEvents(AvahiWatch *watch)
{
    return watch->happened;
}

void watchFree(AvahiWatch *watch)
{
    disown(watch->read);
    disown(watch->write);
    delete watch;
}

void timeoutUpdate(AvahiTimeout *timeout, const struct timeval *when)
{
    timeout->timer->stop();
    // Avahi gives the time it is due at; none: disabled.
    if (when)
        timeout->timer->start(int(std::max<AvahiUsec>(0, -avahi_age(when)) / 1000));
}

AvahiTimeout *timeoutNew(const AvahiPoll *, const struct timeval *when,
                         AvahiTimeoutCallback callback, void *userdata)
{
    auto *timeout = new AvahiTimeout{std::make_unique<QTimer>()};
    timeout->timer->setSingleShot(true);
    QObject::connect(timeout->timer.get(), &QTimer::timeout, timeout->timer.get(),
                     [timeout, callback, userdata] { callback(timeout, userdata); });
    timeoutUpdate(timeout, when);
    return timeout;
}

void timeoutFree(AvahiTimeout *timeout)
{
    timeout->timer->stop();
    timeout->timer.release()->deleteLater();
    delete timeout;
}

const AvahiPoll kQtPoll = {nullptr,    watchNew,   watchUpdate, watchEvents, watchFree,
                           timeoutNew, timeoutUpdate, timeoutFree};

QString why(int error)
{
    return QString::fromUtf8(avahi_strerror(error));
}

class AvahiAnnouncer : public LanAnnouncer {
public:
    explicit AvahiAnnouncer(std::function<void(const QString &)> say) : m_say(std::move(say)) {}
    ~AvahiAnnouncer() override { withdraw(); }

    void publish(const QString &name, const QString &type, quint16 port,
                 const QStringList &txt) override
    {
        withdraw();
        // A DNS label, cut between characters.
        QString label = name;
        while (label.toUtf8().size() >= AVAHI_LABEL_MAX)
            label.chop(1);
        m_name = label.toUtf8();
        m_type = type.toUtf8();
        m_port = port;
        m_txt = txt;
        int error = 0;
        // Without a daemon (or a system bus) this fails at once, and the server goes on.
        m_client = avahi_client_new(&kQtPoll, AvahiClientFlags(0), &AvahiAnnouncer::clientChanged,
                                    this, &error);
        if (!m_client)
            fail(why(error));
    }

    void withdraw() override
    {
        // Freeing the group takes its records off the network; the client, its connection.
        if (m_group)
            avahi_entry_group_free(std::exchange(m_group, nullptr));
        if (m_client)
            avahi_client_free(std::exchange(m_client, nullptr));
    }

private:
    static void clientChanged(AvahiClient *client, AvahiClientState state, void *self)
    {
        auto *me = static_cast<AvahiAnnouncer *>(self);
        if (state == AVAHI_CLIENT_S_RUNNING)
            me->add(client);
        else if (state == AVAHI_CLIENT_FAILURE)
            me->fail(why(avahi_client_errno(client)));
        // The host's own name collides or is being registered: ours goes up again once running.
        else if (me->m_group)
            avahi_entry_group_reset(me->m_group);
    }

    static void groupChanged(AvahiEntryGroup *group, AvahiEntryGroupState state, void *self)
    {
        auto *me = static_cast<AvahiAnnouncer *>(self);
        if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
            me->m_say(QStringLiteral("announced on the local network as \"")
                      + QString::fromUtf8(me->m_name) + QStringLiteral("\" (")
                      + QString::fromUtf8(me->m_type) + QStringLiteral(")"));
        } else if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            me->rename();
            me->add(avahi_entry_group_get_client(group));
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            me->fail(why(avahi_client_errno(avahi_entry_group_get_client(group))));
        }
    }

    void add(AvahiClient *client)
    {
        if (!m_group)
            m_group = avahi_entry_group_new(client, &AvahiAnnouncer::groupChanged, this);
        if (!m_group) {
            fail(why(avahi_client_errno(client)));
            return;
        }
        avahi_entry_group_reset(m_group);
        AvahiStringList *records = nullptr;
        for (const QString &record : std::as_const(m_txt))
            records = avahi_string_list_add(records, record.toUtf8().constData());
        int error = AVAHI_ERR_COLLISION;
        // A service of this machine's has the name already: the next one, a few times.
        for (int tries = 0; error == AVAHI_ERR_COLLISION && tries < 10; ++tries) {
            if (tries > 0)
                rename();
            error = avahi_entry_group_add_service_strlst(
                m_group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                m_name.constData(), m_type.constData(), nullptr, nullptr, m_port, records);
        }
        avahi_string_list_free(records);
        if (error == AVAHI_OK)
            error = avahi_entry_group_commit(m_group);
        if (error != AVAHI_OK)
            fail(why(error));
    }

    // Another service has the name: the next of "name", "name #2", ...
    void rename()
    {
        char *next = avahi_alternative_service_name(m_name.constData());
        m_name = next;
        avahi_free(next);
    }

    void fail(const QString &reason)
    {
        if (!std::exchange(m_failed, true))
            m_say(QStringLiteral("not announced on the local network: ") + reason);
    }

    std::function<void(const QString &)> m_say;
    AvahiClient *m_client = nullptr;
    AvahiEntryGroup *m_group = nullptr;
    QByteArray m_name, m_type;
    quint16 m_port = 0;
    QStringList m_txt;
    bool m_failed = false;
};

} // namespace

std::unique_ptr<LanAnnouncer> makeAvahiAnnouncer(std::function<void(const QString &)> say)
{
    return std::make_unique<AvahiAnnouncer>(std::move(say));
}
