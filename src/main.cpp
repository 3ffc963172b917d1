#include "core/hand_off.h"
#include "main_window/login.h"
#include "program.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

#include <optional>

namespace {

const QString kHelp = QStringLiteral(
    "Uso: korvex-mensajero [opciones]\n"
    "KORVEX Mensajero, el mensajero de un grupo pequeño.\n"
    "\n"
    "Opciones:\n"
    "  -h, --help           Muestra esta ayuda y termina.\n"
    "  -v, --version        Muestra la versión y termina.\n"
    "  --server DIRECCIÓN   Entra al servidor de esa dirección nada más arrancar, como desde\n"
    "                       la ventana de entrada (para arrancar con el escritorio).\n"
    "  --nick NOMBRE        El nickname con que entrar.\n"
    "  --send ARCHIVO…      Envía esos archivos con el programa ya abierto, o con este en\n"
    "                       cuanto haya entrado.\n"
    "  --to NOMBRE          A quién enviar los archivos; sin él, el programa lo pregunta.\n");

struct Autostart {
    QString nickname;
    QString address;
};

// Reads the command line before any window exists, so that --help, --version and a mistake need
// no desktop. Returns the exit code when the program is to end at once.
std::optional<int> readCommandLine(int argc, char *argv[], std::optional<Autostart> &autostart,
                                   std::optional<HandOff::Request> &files)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QString());
    const QCommandLineOption server(QStringLiteral("server"), QString(), QStringLiteral("x"));
    const QCommandLineOption nick(QStringLiteral("nick"), QString(), QStringLiteral("x"));
    const QCommandLineOption send(QStringLiteral("send"), QString());
    const QCommandLineOption to(QStringLiteral("to"), QString(), QStringLiteral("x"));
    parser.addOptions({help, version, server, nick, send, to});
    // Files are named only after --send.
    if (!parser.parse(QCoreApplication::arguments())
        || (!parser.isSet(send) && !parser.positionalArguments().isEmpty())) {
        const QStringList unknown = parser.unknownOptionNames() + parser.positionalArguments();
        QTextStream(stderr) << "korvex-mensajero: no se entiende «"
                            << (unknown.isEmpty() ? QString() : unknown.first())
                            << "»; pruebe --help\n";
        return 2;
    }
    if (parser.isSet(help) || parser.isSet(version)) {
        QTextStream(stdout) << (parser.isSet(help) ? kHelp
                                                   : QStringLiteral("korvex-mensajero " KORVEX_VERSION "\n"));
        return 0;
    }
    if (parser.isSet(server) || parser.isSet(nick))
        autostart = Autostart{parser.value(nick), parser.value(server)};
    if (parser.isSet(send)) {
        HandOff::Request request{parser.value(to), {}};
        for (const QString &path : parser.positionalArguments()) {
            const QFileInfo file(path);
            if (!file.isFile() || !file.isReadable()) {
                QTextStream(stderr) << "korvex-mensajero: no se puede leer el archivo «" << path
                                    << "»\n";
                return 1;
            }
            request.paths << file.absoluteFilePath();
        }
        if (request.paths.isEmpty()) {
            QTextStream(stderr) << "korvex-mensajero: --send necesita al menos un archivo\n";
            return 2;
        }
        // The client already running sends them; otherwise this one will, once logged in.
        if (HandOff::pass(request))
            return 0;
        files = request;
    }
    return std::nullopt;
}

} // namespace

int main(int argc, char *argv[])
{
    std::optional<Autostart> autostart;
    std::optional<HandOff::Request> files;
    if (const std::optional<int> code = readCommandLine(argc, argv, autostart, files))
        return *code;
    QApplication app(argc, argv);
    // The program ends only through its "Salir" menu item, not when its last window closes.
    QApplication::setQuitOnLastWindowClosed(false);
    // On screen before the program reads its settings (9 ms of 87 ms to the first window).
    Intro *splash = Program::showSplash();
    Program program;
    // Servers on the local network, looked for once the login window shows.
    program.core().foundServers().setBrowser(makeAvahiBrowser());
    QTimer::singleShot(0, &program, [&] {
        program.start(splash);
        // For an autostart: the login window's checks and messages, as if filled in by hand.
        if (autostart)
            program.login()->logInWith(autostart->nickname, autostart->address);
        if (files)
            program.sendFiles(*files);
    });
    return QApplication::exec();
}
