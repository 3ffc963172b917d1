#include "core/found_servers.h"

#include <algorithm>
#include <utility>

void FoundServers::setBrowser(std::unique_ptr<ServerBrowser> browser)
{
    m_browser = std::move(browser);
    m_browsing = false;
    if (!std::exchange(m_servers, {}).isEmpty())
        Q_EMIT changed();
}

void FoundServers::browse()
{
    if (!m_browser || std::exchange(m_browsing, true))
        return;
    m_browser->browse(
        [this](const FoundServer &server) {
            const auto same = [&](const FoundServer &s) { return s.name == server.name; };
            const auto at = std::find_if(m_servers.begin(), m_servers.end(), same);
            if (at == m_servers.end())
                m_servers.append(server);
            else
                *at = server;
            Q_EMIT changed();
        },
        [this](const QString &name) {
            if (m_servers.removeIf([&](const FoundServer &s) { return s.name == name; }) > 0)
                Q_EMIT changed();
        });
}
