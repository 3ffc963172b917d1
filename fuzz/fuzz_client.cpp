// One read handled by the real client, headless and logged in to a server on a loopback address,
// so that every branch of the handler runs: boxes are taken as dismissed and pauses end at once.
#include "main_window/login.h"
#include "program.h"
#include "core/session.h"
#include "protocol/wire.h"
#include "core/dispatcher.h"
#include "core/settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdlib>
#include <memory>

namespace {

class World {
public:
    World()
    {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        qputenv("XDG_CONFIG_HOME", "/tmp/korvex-fuzz-config");
        qputenv("XDG_DATA_HOME", "/tmp/korvex-fuzz-data");
        static int argc = 1;
        static char name[] = "fuzz_client";
        static char *argv[] = {name, nullptr};
        m_app = std::make_unique<QApplication>(argc, argv);
        if (!m_server.listen(QHostAddress(QStringLiteral("127.0.0.77")), wire::ServerPort))
            std::abort();
        // What the client sends is read and forgotten. An offer of nothing spares the client
        // its wait for one.
        QObject::connect(&m_server, &QTcpServer::newConnection, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket,
                                 [socket] { socket->readAll(); });
                socket->write(wire::toCodePage(wire::Offer));
            }
        });
    }

    // A logged-in program, fresh every so often, or after a read logged it out.
    Program &program()
    {
        if (!m_program || ++m_uses > 500
            || m_program->session().state() != Session::State::LoggedIn) {
            m_program.reset();
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            m_program = std::make_unique<Program>();
            m_program->setInstant(true);
            // The stand-in offers no encryption: agreed to, as a user would.
            m_program->settings().setClearTextAllowed(QStringLiteral("127.0.0.77"), true);
            m_program->login()->logInWith(QStringLiteral("ana"), QStringLiteral("127.0.0.77"));
            QElapsedTimer clock;
            clock.start();
            while (m_program->session().state() != Session::State::LoggedIn) {
                if (clock.elapsed() > 5000)
                    std::abort();
                QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
            }
            m_uses = 0;
        }
        return *m_program;
    }

private:
    std::unique_ptr<QApplication> m_app;
    QTcpServer m_server;
    std::unique_ptr<Program> m_program;
    int m_uses = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const unsigned char *data, std::size_t size)
{
    // Never destroyed: Qt's objects must not go with the process's statics.
    static World &world = *new World;
    Program &program = world.program();
    program.incoming().handle(
        wire::fromCodePage(QByteArrayView(reinterpret_cast<const char *>(data), qsizetype(size))));
    QCoreApplication::processEvents();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return 0;
}
