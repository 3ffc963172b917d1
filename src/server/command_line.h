#pragma once

#include "server/server_config.h"

#include <QString>
#include <QStringList>

// Where a service's administrator socket lies (its runtime directory).
inline constexpr const char *DefaultAdminSocket = "/run/korvex-server/admin.sock";

// The server's command line, read into its configuration.
struct CommandLine {
    ServerConfig config;
    bool helpRequested = false;
    bool versionRequested = false;
    QString helpText;
    // Where the administrator's channel listens, or where --admin sends its command; empty for
    // no channel.
    QString adminSocket;
    // One command to send to a running server, rather than serving.
    QString adminCommand;
    // Empty when the command line was understood.
    QString error;
};

// `arguments` includes the program's name first, as QCoreApplication::arguments() gives it.
CommandLine parseCommandLine(const QStringList &arguments);
