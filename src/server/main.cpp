// The relay server: a headless program that serves the messenger's clients on TCP port 12584
// and takes the administrator's commands on standard input and on a local socket.
#include "server/admin_channel.h"
#include "server/admin_console.h"
#include "server/command_line.h"
#include "server/net/epoll_dispatcher.h"
#include "server/event_log.h"
#include "server/relay/relay_server.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTextStream>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

int stopPipe[2] = {-1, -1};

void askToStop(int)
{
    const char byte = 1;
    (void)::write(stopPipe[1], &byte, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    // Asked before anything opens a file: with standard input closed, descriptor 0 would be
    // handed to the next socket, and the console would read that.
    const bool haveInput = ::fcntl(0, F_GETFD) != -1;
    // A log piped to a reader that goes away must not end the server; neither may reading a
    // terminal while in the background (the read fails instead, and the console stops).
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);

    // An event loop on epoll rather than Qt's or GLib's, which hand the system every client's
    // socket on every turn: with thousands of idle clients one line would cost as much as all.
    QCoreApplication::setEventDispatcher(new EpollDispatcher);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("korvex-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(KORVEX_VERSION));

    QTextStream out(stdout);
    const CommandLine commandLine = parseCommandLine(QCoreApplication::arguments());
    if (commandLine.helpRequested) {
        out << commandLine.helpText;
        return 0;
    }
    if (!commandLine.error.isEmpty()) {
        QTextStream(stderr) << commandLine.error << "\nTry --help.\n";
        return 2;
    }
    if (commandLine.versionRequested) {
        out << "korvex-server " << QCoreApplication::applicationVersion() << '\n';
        return 0;
    }
    if (!commandLine.adminCommand.isEmpty())
        return sendAdminCommand(commandLine.adminSocket, commandLine.adminCommand);

    // Every client holds a file: a shell's usual 1,024 would turn a group away long before the
    // system's own limit.
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &files);
    }
    RelayServer server(commandLine.config, out);
    if (!server.listen())
        return 1;

    const auto note = [&out](const QString &what) {
        EventLog(out).write(QStringLiteral("-"), what);
    };
    AdminChannel channel([&server](const QString &line) { return server.admin(line); });
    if (!commandLine.adminSocket.isEmpty()) {
        const QString failure = channel.listen(commandLine.adminSocket);
        note(failure.isEmpty() ? QString(QStringLiteral("administrator's socket at ")
                                         + commandLine.adminSocket)
                               : QString(QStringLiteral("no administrator's socket at ")
                                         + commandLine.adminSocket + QStringLiteral(": ")
                                         + failure));
    }
    std::unique_ptr<AdminConsole> console;
    if (haveInput) {
        console = std::make_unique<AdminConsole>(0);
        QObject::connect(console.get(), &AdminConsole::lineEntered, &server, &RelayServer::admin);
        QObject::connect(console.get(), &AdminConsole::ended, &server,
                         [note] { note(QStringLiteral("standard input ended; still serving")); });
    } else {
        note(QStringLiteral("no standard input; administrator commands are off"));
    }
    // SIGTERM (a service being stopped) and SIGINT end the server cleanly: its clients are
    // closed and everything is freed.
    QSocketNotifier stop(::pipe(stopPipe) == 0 ? stopPipe[0] : -1, QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, &app, [&note] {
        note(QStringLiteral("stopping"));
        QCoreApplication::quit();
    });
    std::signal(SIGTERM, askToStop);
    std::signal(SIGINT, askToStop);
    return QCoreApplication::exec();
}
