// Time from the start of the process to the main window being shown (the splash takes 2.02 s
// of it by design), then the resident memory of the client idle after logging in.
#include "core/settings.h"
#include "program.h"
#include "support/raw_server.h"

#include <QApplication>
#include <QEventLoop>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

namespace {

// Seconds between the kernel starting this process and now.
double secondsSinceProcessStart()
{
    std::ifstream stat("/proc/self/stat");
    std::string field;
    // The command name may hold blanks; it ends at the last ')'.
    std::getline(stat, field, ')');
    for (int i = 0; i < 20; ++i)
        stat >> field;
    const double started = std::stod(field) / double(sysconf(_SC_CLK_TCK));
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9 - started;
}

class ShowClock : public QObject {
public:
    double shownAt = -1;

protected:
    bool eventFilter(QObject *object, QEvent *event) override
    {
        if (event->type() == QEvent::Show && shownAt < 0 && qobject_cast<Mess *>(object))
            shownAt = secondsSinceProcessStart();
        return false;
    }
};

} // namespace

int main(int argc, char *argv[])
{
    prepareBenchEnvironment();
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    Program program;
    ShowClock clock;
    // Watched through the application, so that the main window is created when the splash
    // ends, as in the real program.
    app.installEventFilter(&clock);
    QTimer::singleShot(0, &program, [&] {
        const double loopAt = secondsSinceProcessStart();
        program.start();
        std::printf("event loop running %.3f s after the process started; splash and main "
                    "window took %.3f s from there\n",
                    loopAt, clock.shownAt - loopAt);
        // The splash has handed over to the main window; the rest runs from here.
        std::printf("main window shown %.3f s after the process started\n", clock.shownAt);

        app.removeEventFilter(&clock);
        RawServer server("127.0.0.51");
        std::atomic<bool> served = false;
        std::thread accept([&] {
            server.accept();
            server.readAtLeast(5 + 4 + 5);
            server.write(nickBytes(QStringLiteral("bench")));
            served = true;
        });
        // A plain server that offers nothing, agreed to as a user would.
        program.settings().setClearTextAllowed(QStringLiteral("127.0.0.51"), true);
        Login *login = program.login();
        login->logInWith(QStringLiteral("bench"), QStringLiteral("127.0.0.51"));
        while (!served)
            runEventsFor(5);
        accept.join();
        runEventsFor(3000);
        const double cpu = processCpuSeconds();
        runEventsFor(10'000);
        std::printf("logged in and idle: RSS %.1f MiB, CPU over 10 s %.3f s (%.2f%% of a core)\n",
                    currentRssMiB(), processCpuSeconds() - cpu, 10.0 * (processCpuSeconds() - cpu));
        QCoreApplication::exit(0);
    });
    return QApplication::exec();
}
