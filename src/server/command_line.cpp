#include "server/command_line.h"

#include "protocol/wire.h"
#include "server/secrets.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFile>

#include <limits>
#include <optional>

namespace {

// A whole number within the bounds, with an optional k or m (KiB, MiB) where sizes are meant.
std::optional<qint64> number(const QString &text, qint64 least, bool sizes)
{
    QString digits = text.trimmed();
    qint64 unit = 1;
    if (sizes && !digits.isEmpty()) {
        const QChar last = digits.back().toLower();
        if (last == u'k')
            unit = 1024;
        else if (last == u'm')
            unit = 1024 * 1024;
        else if (last == u'g')
            unit = 1024 * 1024 * 1024;
        if (unit != 1)
            digits.chop(1);
    }
    bool ok = false;
    const qint64 value = digits.toLongLong(&ok);
    if (!ok || value < least || value > std::numeric_limits<qint32>::max())
        return std::nullopt;
    return value * unit;
}

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine result;
    ServerConfig &config = result.config;

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Relay server of the KORVEX Mensajero messenger, on TCP port %1.\n\n"
                       "Administrator commands, one per line on standard input:\n"
                       "  msg TEXT   send TEXT as a notice to every user online\n"
                       "  boot NICK  tell NICK's clients they are booted; close them after the "
                       "grace time\n"
                       "             unless they log out\n"
                       "  users      list who is online, with addresses\n"
                       "  claims     list the claimed nicknames, with the lines kept for each\n"
                       "  files      list the files waiting to be fetched\n"
                       "  release NICK  drop NICK's claim, its kept lines and its files, "
                       "telling their senders\n"
                       "The server keeps serving when standard input ends. The same commands come "
                       "through the administrator's socket (--admin-socket), for example from "
                       "korvex-server --admin 'users'. The log goes to standard output.")
            .arg(wire::ServerPort));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help."));
    const QCommandLineOption version(QStringList{QStringLiteral("v"), QStringLiteral("version")},
                                     QStringLiteral("Show the version."));
    const QCommandLineOption adminSocket(
        QStringLiteral("admin-socket"),
        QStringLiteral("The administrator's socket: where the server listens for commands, or "
                       "where --admin sends one (default: $RUNTIME_DIRECTORY/admin.sock when "
                       "that is set, as for a service; for --admin, %1).")
            .arg(QString::fromLatin1(DefaultAdminSocket)),
        QStringLiteral("PATH"));
    const QCommandLineOption admin(
        QStringLiteral("admin"),
        QStringLiteral("Send one administrator command to the running server and print its "
                       "answer."),
        QStringLiteral("COMMAND"));
    const QCommandLineOption listen(
        QStringLiteral("listen"),
        QStringLiteral("Listen on this IP address only (default: every interface)."),
        QStringLiteral("ADDRESS"));
    const QCommandLineOption gap(
        QStringLiteral("gap"),
        QStringLiteral("Pause between two messages to the same client, after the first has left, "
                       "so that the client reads them apart (default: %1).")
            .arg(config.gap.count()),
        QStringLiteral("MS"));
    const QCommandLineOption noFraming(
        QStringLiteral("no-framing"),
        QStringLiteral("Do not offer framing: talk to every client as to a plain one, paced."));
    const QCommandLineOption stateDir(
        QStringLiteral("state-dir"),
        QStringLiteral("Where the server keeps its TLS key and certificate, made on the first "
                       "start (default: $STATE_DIRECTORY when that is set, as for a service; "
                       "otherwise $XDG_STATE_HOME/korvex-server or ~/.local/state/korvex-server)."),
        QStringLiteral("DIR"));
    const QCommandLineOption noTls(
        QStringLiteral("no-tls"),
        QStringLiteral("Do not offer encryption: every client talks in clear text."));
    const QCommandLineOption requireTls(
        QStringLiteral("require-tls"),
        QStringLiteral("Refuse every client that does not encrypt its connection."));
    const QCommandLineOption passwordFile(
        QStringLiteral("password-file"),
        QStringLiteral("The group's password is this file's first line; clients must present it "
                       "(encrypted) to log in. The file must be readable by the server's user "
                       "alone (default: $CREDENTIALS_DIRECTORY/password when that exists, as for "
                       "a service given the credential \"password\")."),
        QStringLiteral("FILE"));
    const QCommandLineOption maxQueue(
        QStringLiteral("max-queue"),
        QStringLiteral("Share this many messages waiting for a client among their senders, "
                       "holding back each one past its share; keep it above the number of users "
                       "(default: %1).")
            .arg(config.maxQueuedMessages),
        QStringLiteral("MESSAGES"));
    const QCommandLineOption maxQueueBytes(
        QStringLiteral("max-queue-bytes"),
        QStringLiteral("Share this many bytes waiting for a client among their senders; k and m "
                       "suffixes allowed (default: %1).")
            .arg(config.maxQueuedBytes),
        QStringLiteral("BYTES"));
    const QCommandLineOption maxRate(
        QStringLiteral("max-rate"),
        QStringLiteral("Close a client that sends more than this many bytes in a second; k and m "
                       "suffixes allowed (default: %1).")
            .arg(config.maxBytesPerSecond),
        QStringLiteral("BYTES"));
    const QCommandLineOption maxMessages(
        QStringLiteral("max-messages"),
        QStringLiteral("Close a client that sends more than this many messages in a second "
                       "(default: %1).")
            .arg(config.maxMessagesPerSecond),
        QStringLiteral("COUNT"));
    const QCommandLineOption stallTimeout(
        QStringLiteral("stall-timeout"),
        QStringLiteral("Close a client with messages waiting that takes nothing for this long "
                       "(default: %1).")
            .arg(config.stallTimeout.count()),
        QStringLiteral("MS"));
    const QCommandLineOption maxWaiting(
        QStringLiteral("max-waiting"),
        QStringLiteral("Hold back a client when this many of its messages wait for one other "
                       "client, or fewer when many share that client's queue (default: %1).")
            .arg(config.maxWaitingFromOne),
        QStringLiteral("MESSAGES"));
    const QCommandLineOption maxLogins(
        QStringLiteral("max-logins"),
        QStringLiteral("Close a client that logs in more often than this in a minute (default: "
                       "%1).")
            .arg(config.maxLoginsPerMinute),
        QStringLiteral("COUNT"));
    const QCommandLineOption maxCorrespondents(
        QStringLiteral("max-new-correspondents"),
        QStringLiteral("Refuse a client's PMs to more than this many new correspondents in a "
                       "minute (default: %1).")
            .arg(config.maxNewCorrespondentsPerMinute),
        QStringLiteral("COUNT"));
    const QCommandLineOption maxAddressCorrespondents(
        QStringLiteral("max-new-correspondents-per-address"),
        QStringLiteral("Refuse PMs to more than this many new correspondents in a minute from all "
                       "the clients at one address together (default: %1).")
            .arg(config.maxNewCorrespondentsPerAddress),
        QStringLiteral("COUNT"));
    const QCommandLineOption statesPerMinute(
        QStringLiteral("states-per-minute"),
        QStringLiteral("Pass on at most this many changes of a client's state (away, busy) in a "
                       "minute; the latest past that waits (default: %1).")
            .arg(config.maxStatesPerMinute),
        QStringLiteral("COUNT"));
    const QCommandLineOption bootGrace(
        QStringLiteral("boot-grace"),
        QStringLiteral("How long a booted client stays connected (default: %1).")
            .arg(config.bootGrace.count()),
        QStringLiteral("MS"));
    const QCommandLineOption logInTimeout(
        QStringLiteral("login-timeout"),
        QStringLiteral("Close a connection on which nobody logs in for this long (default: %1).")
            .arg(config.logInTimeout.count()),
        QStringLiteral("MS"));
    const QCommandLineOption maxConnections(
        QStringLiteral("max-connections-per-address"),
        QStringLiteral("Refuse a connection from an address (IPv6: a /64) that has this many "
                       "already, loopback too (default: %1).")
            .arg(config.maxConnectionsPerAddress),
        QStringLiteral("COUNT"));
    const QCommandLineOption maxNotLoggedIn(
        QStringLiteral("max-not-logged-in-per-address"),
        QStringLiteral("Refuse a connection from an address that has this many not logged in "
                       "(default: %1).")
            .arg(config.maxNotLoggedInPerAddress),
        QStringLiteral("COUNT"));
    const QCommandLineOption maxLoginsPerAddress(
        QStringLiteral("max-logins-per-address"),
        QStringLiteral("Refuse a log-in from an address that has logged in this often in the "
                       "last minute (default: %1).")
            .arg(config.maxLoginsPerAddress),
        QStringLiteral("COUNT"));
    const QCommandLineOption passwordDelay(
        QStringLiteral("password-delay"),
        QStringLiteral("Refuse a wrong password this long after it came, and wait as long before "
                       "checking the next one from its address; doubled with each wrong one "
                       "(default: %1).")
            .arg(config.passwordDelay.count()),
        QStringLiteral("MS"));
    const QCommandLineOption maxPasswordFailures(
        QStringLiteral("max-password-failures"),
        QStringLiteral("Lock an address out after this many wrong passwords within the lock time "
                       "(default: %1).")
            .arg(config.maxPasswordFailures),
        QStringLiteral("COUNT"));
    const QCommandLineOption passwordLock(
        QStringLiteral("password-lock"),
        QStringLiteral("How long a locked address is refused every password, the right one too "
                       "(default: %1).")
            .arg(config.passwordLock.count()),
        QStringLiteral("MS"));
    const QCommandLineOption logSummary(
        QStringLiteral("log-summary-interval"),
        QStringLiteral("Log a refusal repeated from one address the first time, then as a count "
                       "at most this often (default: %1).")
            .arg(config.logSummaryInterval.count()),
        QStringLiteral("MS"));
    const QCommandLineOption helloTimeout(
        QStringLiteral("hello-timeout"),
        QStringLiteral("Close a connection that has neither given a password nor logged in this "
                       "long after connecting (default: %1).")
            .arg(config.helloTimeout.count()),
        QStringLiteral("MS"));
    const QCommandLineOption refusalDelay(
        QStringLiteral("refusal-delay"),
        QStringLiteral("Close a connection refused for its address this long after it came "
                       "(default: %1).")
            .arg(config.refusalDelay.count()),
        QStringLiteral("MS"));
    const QCommandLineOption maxMessageBeforeLogIn(
        QStringLiteral("max-message-before-login"),
        QStringLiteral("Close a client that sends a longer message before it logs in; k and m "
                       "suffixes allowed (default: %1).")
            .arg(config.maxMessageBeforeLogIn),
        QStringLiteral("BYTES"));
    const QCommandLineOption noKeep(
        QStringLiteral("no-keep"),
        QStringLiteral("Keep nothing between runs: no claimed nicknames, no lines kept for those "
                       "who are away."));
    const QCommandLineOption noFiles(
        QStringLiteral("no-files"),
        QStringLiteral("Take no files for users to send each other."));
    const auto bytesOption = [](const QString &name, const QString &what, qint64 value) {
        return QCommandLineOption(
            name, what + QStringLiteral(", in bytes, k, m and g suffixes allowed (default: %1).")
                             .arg(value),
            QStringLiteral("BYTES"));
    };
    const QCommandLineOption fileDays(
        QStringLiteral("file-days"),
        QStringLiteral("How long a file waits to be fetched (default: %1).").arg(config.fileDays),
        QStringLiteral("DAYS"));
    const QCommandLineOption maxFileSize = bytesOption(
        QStringLiteral("max-file-size"), QStringLiteral("The largest file taken"),
        config.maxFileSize);
    const QCommandLineOption filesFromOne = bytesOption(
        QStringLiteral("files-from-one"), QStringLiteral("What may wait from one sender"),
        config.filesFromOne);
    const QCommandLineOption filesForOne = bytesOption(
        QStringLiteral("files-for-one"), QStringLiteral("What may wait for one recipient"),
        config.filesForOne);
    const QCommandLineOption filesInAll = bytesOption(
        QStringLiteral("files-in-all"), QStringLiteral("What may wait in all"),
        config.filesInAll);
    const QCommandLineOption fileRate = bytesOption(
        QStringLiteral("file-rate"),
        QStringLiteral("What a transfer connection may move in a second, 0 for no bound"),
        config.fileRate);
    const QCommandLineOption fileRatePerAddress = bytesOption(
        QStringLiteral("file-rate-per-address"),
        QStringLiteral("What all the transfers of one address may move in a second, 0 for no "
                       "bound"),
        config.fileRatePerAddress);
    const QCommandLineOption keepDays(
        QStringLiteral("keep-days"),
        QStringLiteral("How long a line kept for someone away waits, and a mark for a sender "
                       "who is away (default: %1).")
            .arg(config.keepDays),
        QStringLiteral("DAYS"));
    const QCommandLineOption claimDays(
        QStringLiteral("claim-days"),
        QStringLiteral("Drop a claim on a nickname not used for this long (default: %1).")
            .arg(config.claimDays),
        QStringLiteral("DAYS"));
    const QCommandLineOption keptPerRecipient(
        QStringLiteral("kept-per-recipient"),
        QStringLiteral("Keep at most this many lines for one recipient (default: %1).")
            .arg(config.keptPerRecipient),
        QStringLiteral("LINES"));
    const QCommandLineOption keptPerSender(
        QStringLiteral("kept-per-sender"),
        QStringLiteral("Keep at most this many lines from one sender for one recipient "
                       "(default: %1).")
            .arg(config.keptPerSender),
        QStringLiteral("LINES"));
    const QCommandLineOption keptInAll(
        QStringLiteral("kept-in-all"),
        QStringLiteral("Keep at most this many lines in all (default: %1).").arg(config.keptInAll),
        QStringLiteral("LINES"));
    const QCommandLineOption keptPerAddress(
        QStringLiteral("kept-per-address"),
        QStringLiteral("Keep at most this many lines from one address, whatever nicknames it "
                       "writes as, for one recipient (default: %1).")
            .arg(config.keptPerAddress),
        QStringLiteral("LINES"));
    const QCommandLineOption keptFromAddress(
        QStringLiteral("kept-from-address"),
        QStringLiteral("Keep at most this many lines from one address in all (default: %1).")
            .arg(config.keptFromAddress),
        QStringLiteral("LINES"));
    const QCommandLineOption claimsPerHour(
        QStringLiteral("claims-per-hour"),
        QStringLiteral("Let an address claim at most this many new nicknames in an hour "
                       "(default: %1).")
            .arg(config.maxClaimsPerHour),
        QStringLiteral("COUNT"));
    const QCommandLineOption deskCodeTime(
        QStringLiteral("desk-code-time"),
        QStringLiteral("How long a code for adding a desk to a claimed nickname holds (default: "
                       "%1).")
            .arg(config.deskCodeLifetime.count()),
        QStringLiteral("MS"));
    const QCommandLineOption name(
        QStringLiteral("name"),
        QStringLiteral("The name the server is announced under on the local network (default: "
                       "the machine's host name)."),
        QStringLiteral("NAME"));
    const QCommandLineOption noAnnounce(
        QStringLiteral("no-announce"),
        QStringLiteral("Do not announce the server on the local network (DNS-SD, through "
                       "Avahi)."));
    parser.addOptions({help, version, adminSocket, admin, listen, gap, noFraming, stateDir, noTls,
                       requireTls, passwordFile, maxQueue, maxQueueBytes, stallTimeout, maxWaiting,
                       maxRate, maxMessages, maxLogins, maxCorrespondents, maxAddressCorrespondents,
                       statesPerMinute, bootGrace, logInTimeout, maxConnections, maxNotLoggedIn,
                       maxLoginsPerAddress, passwordDelay, maxPasswordFailures, passwordLock,
                       logSummary,
                       helloTimeout, refusalDelay, maxMessageBeforeLogIn, noKeep, keepDays,
                       claimDays, keptPerRecipient, keptPerSender, keptInAll, keptPerAddress,
                       keptFromAddress, claimsPerHour, noFiles, fileDays, maxFileSize,
                       filesFromOne, filesForOne, filesInAll, fileRate, fileRatePerAddress,
                       deskCodeTime, name, noAnnounce});
    result.helpText = parser.helpText();

    if (!parser.parse(arguments)) {
        result.error = parser.errorText();
        return result;
    }
    if (parser.isSet(help)) {
        result.helpRequested = true;
        return result;
    }
    result.versionRequested = parser.isSet(version);
    result.adminCommand = parser.value(admin);
    const QString runtime = qEnvironmentVariable("RUNTIME_DIRECTORY");
    result.adminSocket = parser.isSet(adminSocket) ? parser.value(adminSocket)
        : parser.isSet(admin)                      ? QString::fromLatin1(DefaultAdminSocket)
        : runtime.isEmpty()                        ? QString()
                                                   : runtime + QStringLiteral("/admin.sock");
    if (!parser.positionalArguments().isEmpty()) {
        result.error =
            QStringLiteral("Unexpected argument: ") + parser.positionalArguments().first();
        return result;
    }

    if (parser.isSet(listen)) {
        const QString text = parser.value(listen);
        config.listenAddress = QHostAddress(text);
        if (config.listenAddress.isNull()) {
            result.error = QStringLiteral("Not an IP address: ") + text;
            return result;
        }
    }

    // Each numeric option: the least value allowed, whether it is a size, where it goes. The
    // first bad value is the error.
    const auto read = [&](const QCommandLineOption &option, qint64 least, bool sizes, auto assign) {
        if (!result.error.isEmpty() || !parser.isSet(option))
            return;
        const QString text = parser.value(option);
        if (const std::optional<qint64> value = number(text, least, sizes))
            assign(*value);
        else
            result.error = QStringLiteral("Bad value for --") + option.names().constLast()
                + QStringLiteral(": ") + text;
    };
    config.offerFraming = !parser.isSet(noFraming);
    config.offerTls = config.offerFraming && !parser.isSet(noTls);
    config.requireTls = parser.isSet(requireTls);
    config.keep = config.offerTls && !parser.isSet(noKeep);
    config.files = config.keep && !parser.isSet(noFiles);
    config.announce = !parser.isSet(noAnnounce);
    config.name = parser.value(name);
    if (config.requireTls && !config.offerTls) {
        result.error = QStringLiteral("--require-tls needs encryption offered: drop --no-tls and "
                                      "--no-framing");
        return result;
    }
    config.stateFolder = parser.value(stateDir);
    if (config.stateFolder.isEmpty())
        config.stateFolder = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    if (config.stateFolder.isEmpty()) {
        const QString state = qEnvironmentVariable("XDG_STATE_HOME");
        config.stateFolder = (state.isEmpty() ? QDir::homePath() + QStringLiteral("/.local/state")
                                              : state)
            + QStringLiteral("/korvex-server");
    }
    QString password = parser.value(passwordFile);
    if (const QString credentials = qEnvironmentVariable("CREDENTIALS_DIRECTORY");
        password.isEmpty() && !credentials.isEmpty()
        && QFile::exists(credentials + QStringLiteral("/password")))
        password = credentials + QStringLiteral("/password");
    if (!password.isEmpty()) {
        if (!config.offerTls) {
            result.error = QStringLiteral("a password is only sent encrypted: drop --no-tls and "
                                          "--no-framing");
            return result;
        }
        auto read = readPasswordFile(password);
        if (const QString *error = std::get_if<QString>(&read)) {
            result.error = *error;
            return result;
        }
        // Written in UTF-8, compared as it travels: in the code page of the wire, where a
        // letter the code page lacks would leave only a question mark to guess, and without
        // what a field cannot hold, which no client could send.
        const QString text = QString::fromUtf8(std::get<QByteArray>(read));
        config.password = wire::toCodePage(text);
        if (wire::asSent(text) != text) {
            result.error = QStringLiteral("the password in ") + password
                + QStringLiteral(" has characters that do not travel: use Latin letters, digits "
                                 "and signs");
            return result;
        }
    }
    using std::chrono::milliseconds;
    read(gap, 0, false, [&](qint64 v) { config.gap = milliseconds(v); });
    read(maxQueue, 1, false, [&](qint64 v) { config.maxQueuedMessages = v; });
    read(maxQueueBytes, 1, true, [&](qint64 v) { config.maxQueuedBytes = v; });
    read(maxRate, 1, true, [&](qint64 v) { config.maxBytesPerSecond = v; });
    read(stallTimeout, 1, false, [&](qint64 v) { config.stallTimeout = milliseconds(v); });
    read(maxWaiting, 2, false, [&](qint64 v) { config.maxWaitingFromOne = int(v); });
    read(maxMessages, 1, false, [&](qint64 v) { config.maxMessagesPerSecond = int(v); });
    read(maxLogins, 1, false, [&](qint64 v) { config.maxLoginsPerMinute = int(v); });
    read(maxCorrespondents, 1, false,
         [&](qint64 v) { config.maxNewCorrespondentsPerMinute = int(v); });
    read(maxAddressCorrespondents, 1, false,
         [&](qint64 v) { config.maxNewCorrespondentsPerAddress = int(v); });
    read(statesPerMinute, 1, false, [&](qint64 v) { config.maxStatesPerMinute = int(v); });
    read(bootGrace, 0, false, [&](qint64 v) { config.bootGrace = milliseconds(v); });
    read(logInTimeout, 1, false, [&](qint64 v) { config.logInTimeout = milliseconds(v); });
    read(maxConnections, 1, false, [&](qint64 v) { config.maxConnectionsPerAddress = int(v); });
    read(maxNotLoggedIn, 1, false, [&](qint64 v) { config.maxNotLoggedInPerAddress = int(v); });
    read(maxLoginsPerAddress, 1, false, [&](qint64 v) { config.maxLoginsPerAddress = int(v); });
    read(passwordDelay, 0, false, [&](qint64 v) { config.passwordDelay = milliseconds(v); });
    read(maxPasswordFailures, 1, false, [&](qint64 v) { config.maxPasswordFailures = int(v); });
    read(passwordLock, 0, false, [&](qint64 v) { config.passwordLock = milliseconds(v); });
    read(logSummary, 1, false, [&](qint64 v) { config.logSummaryInterval = milliseconds(v); });
    read(helloTimeout, 1, false, [&](qint64 v) { config.helloTimeout = milliseconds(v); });
    read(refusalDelay, 0, false, [&](qint64 v) { config.refusalDelay = milliseconds(v); });
    read(maxMessageBeforeLogIn, 1, true, [&](qint64 v) { config.maxMessageBeforeLogIn = v; });
    read(keepDays, 1, false, [&](qint64 v) { config.keepDays = int(v); });
    read(claimDays, 1, false, [&](qint64 v) { config.claimDays = int(v); });
    read(keptPerRecipient, 1, false, [&](qint64 v) { config.keptPerRecipient = int(v); });
    read(keptPerSender, 1, false, [&](qint64 v) { config.keptPerSender = int(v); });
    read(keptInAll, 1, false, [&](qint64 v) { config.keptInAll = int(v); });
    read(keptPerAddress, 1, false, [&](qint64 v) { config.keptPerAddress = int(v); });
    read(keptFromAddress, 1, false, [&](qint64 v) { config.keptFromAddress = int(v); });
    read(claimsPerHour, 0, false, [&](qint64 v) { config.maxClaimsPerHour = int(v); });
    read(fileDays, 1, false, [&](qint64 v) { config.fileDays = int(v); });
    read(maxFileSize, 1, true, [&](qint64 v) { config.maxFileSize = v; });
    read(filesFromOne, 1, true, [&](qint64 v) { config.filesFromOne = v; });
    read(filesForOne, 1, true, [&](qint64 v) { config.filesForOne = v; });
    read(filesInAll, 1, true, [&](qint64 v) { config.filesInAll = v; });
    read(fileRate, 0, true, [&](qint64 v) { config.fileRate = v; });
    read(fileRatePerAddress, 0, true, [&](qint64 v) { config.fileRatePerAddress = v; });
    read(deskCodeTime, 0, false, [&](qint64 v) { config.deskCodeLifetime = milliseconds(v); });
    if (result.error.isEmpty() && config.offerTls)
        result.error = unsafeStateFolder(config.stateFolder);
    return result;
}
