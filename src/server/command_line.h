#pragma once

#include "server/server_config.h"

#include <QString>
#include <QStringList>

// The server's command line, read into its configuration.
struct CommandLine {
    ServerConfig config;
    bool helpRequested = false;
    QString helpText;
    // Empty when the command line was understood.
    QString error;
};

// `arguments` includes the program's name first, as QCoreApplication::arguments() gives it.
CommandLine parseCommandLine(const QStringList &arguments);
