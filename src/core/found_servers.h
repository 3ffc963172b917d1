#pragma once

#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>

// A server announced on the local network (docs/PROTOCOL.md, "Found on the local network").
struct FoundServer {
    // The instance name its administrator gave, unique on the network.
    QString name;
    // Where it answers, for the login window's address box.
    QString address;
    // Its announcement offers encryption (`features=` holds `tls`).
    bool encrypts = false;
    // `fp=`: the first hexadecimal digits, lowercase, of its certificate's SHA-256; none when it
    // did not say.
    QString fingerprint;
};

// How servers are looked for: through the system's Avahi daemon, or a test's stand-in. Once
// browse() is called, it tells what appears (again, when an announcement changes) and what
// goes, by name, on the caller's thread.
class ServerBrowser {
public:
    using Found = std::function<void(const FoundServer &)>;
    using Gone = std::function<void(const QString &name)>;
    virtual ~ServerBrowser() = default;
    virtual void browse(Found found, Gone gone) = 0;
};

// Browses `_korvex._tcp` through the Avahi daemon. Without one (none running, no system bus)
// it finds nothing and says nothing: typing the address still works.
std::unique_ptr<ServerBrowser> makeAvahiBrowser();

// The servers on the local network, as their announcements come and go. Nothing is looked for
// until the list is wanted, and then only through the browser given: a program without one
// (a test) lists nothing.
class FoundServers : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;

    void setBrowser(std::unique_ptr<ServerBrowser> browser);
    // The list is wanted: the browser starts, once.
    void browse();
    const QList<FoundServer> &servers() const { return m_servers; }

Q_SIGNALS:
    void changed();

private:
    std::unique_ptr<ServerBrowser> m_browser;
    bool m_browsing = false;
    QList<FoundServer> m_servers;
};
