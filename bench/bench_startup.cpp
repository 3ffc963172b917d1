// Start-up, beside other programs in the same run: the time from starting a program to its first
// window on screen, and its resident memory at rest afterwards.
//
//   build/release/bench/bench_startup [ours] [hexchat] [hexchat-main] [bare] [--runs N]
//       [--rest S] [--no-bus] [--user NAME] [--mappings M] [--wrap "COMMAND ..."]
//       [--client PATH]
//   build/release/bench/bench_startup logged-in
//
// Each program runs N times (3), the programs in turn within each round, on a virtual display of
// this benchmark's own (Xvfb, no window manager, no TCP), each time with a fresh home folder (HOME
// and the XDG folders, so nothing remembered from a run before) and, unless --no-bus, with a
// session bus of the run's own, as a desktop has one; run by root, the programs and the bus run
// as an unprivileged user (nobody unless --user). Timed from just before the program's
// process is made to the first map of a top-level window of the display (its first window
// handed to the screen); every later top-level window is listed with its time too. The resident
// memory (VmRSS) is read S seconds (6) after the start, at rest; the program is then ended.
// - ours: the client (build/.../korvex-mensajero, or --client PATH, another build of it, such as
//   one from before a change): the splash first, then, 2.02 s later by
//   design, the main window.
// - hexchat: the IRC client from Debian's packages, as installed (its plugins with it): a fresh
//   home shows its network list first.
// - hexchat-main: the same with gui_slist_skip = 1 in its settings: its main window first.
// - bare: a bare Qt window (this program with --bare: a QApplication and an empty QWidget shown).
// --mappings M lists, for each program's first run, the M largest parts of its resident memory:
// each library mapped (its code and data), the heap, anonymous memory.
// --wrap runs each program under a command, e.g. --wrap "strace -f -o /tmp/ours.strace -e
// trace=openat,connect" or --wrap "heaptrack -o /tmp/ours", to see what a start-up loads in the
// same surroundings (its times are then the wrapper's).
//
// logged-in: within this process on Qt's offscreen platform, the time from the start of the
// process to the main window (the splash takes 2.02 s of it by design), then the resident memory
// and the CPU use of the client idle after logging in to a plain server.
//
//   unshare --net sh -c "ip link set lo up && build/release/bench/bench_startup ours hexchat
//       hexchat-main bare [--client /tmp/korvex-before]"   (one line)
//
// Main at 14dce47, Release build, Xvfb, a fresh home and a session bus for every run, 2 cores
// shared with other builds (load average near 10: the times move by hundreds of ms from run to
// run, memory by 0.3 MiB), 3 rounds; medians, each run's figure in brackets, first window ms /
// RSS MiB at rest. The runs before and after the change went one after the other:
//   before: the TLS back end (a QSslSocket made with the program) and the history's SQLite file
//   (opened, migrated and trimmed with the program) came before the splash.
//     ours          605 / 43.3   (326/43.3 605/43.6 908/43.3)
//     hexchat       347 / 23.0   (547/23.1 347/22.9 151/23.0)
//     hexchat-main  359 / 40.4   (495/40.1 359/40.5 291/40.4)
//     bare          254 / 26.2   (254/26.2 508/26.1 245/26.2)
//   after: the socket made at the first connection, the history's file opened at the log-in
//   or the first line, look or search:
//     ours          619 / 37.5   (563/37.5 644/37.5 619/37.6)
//     hexchat       349 / 22.9   (262/22.7 349/22.9 371/22.9)
//     hexchat-main  380 / 40.4   (300/40.2 456/40.8 380/40.4)
//     bare          332 / 26.2   (333/26.2 272/26.1 332/26.2)
// At rest ours holds 5.8 MiB less, below HexChat's main window and 14.6 MiB above its network
// list. The times are within this machine's noise; strace -tt of one start (offscreen, fresh
// home, session bus, idle machine) put before the splash: 87 ms loading libraries, 20 ms
// making the settings' file, 8 ms asking the session bus for an idle time, then the splash;
// before the change the TLS back end took 80 ms and the history's file 90 ms more under load.
// The keyring is asked nothing before a log-in (SecretStore starts no job until asked).
// Then, on a quiet machine, 5 rounds (`--runs 5`), medians:
//   before: the splash came after the settings' file, the main window and the idle probe
//     ours          118 / 37.5   (131/37.5 131/37.5 117/37.4 118/37.5 115/37.6)
//     hexchat        82 / 23.0   (107/23.0 86/23.3 82/22.7 63/23.1 69/23.0)
//     hexchat-main   85 / 40.6   (92/40.8 90/40.6 85/40.5 79/40.3 75/40.6)
//     bare           63 / 26.1   (78/26.1 69/26.1 63/26.2 54/26.1 55/26.2)
//   after: the splash shown and drawn first, the rest made while it stands
//     ours           84 / 37.5   (92/37.5 84/37.5 77/37.5 82/37.7 95/37.7)
//     hexchat        71 / 22.9   (69/22.8 82/22.9 71/22.7 64/23.0 90/23.1)
//     hexchat-main   74 / 40.5   (73/40.3 100/40.5 74/40.8 66/40.4 86/40.8)
//     bare           55 / 26.1   (59/26.1 52/26.1 55/26.2 69/26.0 54/26.2)
// What is left before the splash, timed in the program (Xvfb, no bus): 35-45 ms to main()
// (loading the libraries), 20 ms for QApplication, 10 ms reading the splash's picture (SVG),
// 8 ms making its form, then drawing it.
#include "core/settings.h"
#include "main_window/login.h"
#include "program.h"
#include "support/raw_server.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

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

int loggedIn()
{
    QApplication::setQuitOnLastWindowClosed(false);
    Program program;
    ShowClock clock;
    // Watched through the application, so that the main window is created when the splash
    // ends, as in the real program.
    qApp->installEventFilter(&clock);
    QTimer::singleShot(0, &program, [&] {
        const double loopAt = secondsSinceProcessStart();
        program.start();
        std::printf("event loop running %.3f s after the process started; splash and main "
                    "window took %.3f s from there\n",
                    loopAt, clock.shownAt - loopAt);
        // The splash has handed over to the main window; the rest runs from here.
        std::printf("main window shown %.3f s after the process started\n", clock.shownAt);

        qApp->removeEventFilter(&clock);
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

int bareWindow()
{
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare"));
    window.resize(320, 240);
    window.show();
    return QApplication::exec();
}

// --- Other programs on a display of our own ---

double now()
{
    timespec at{};
    clock_gettime(CLOCK_MONOTONIC, &at);
    return double(at.tv_sec) + double(at.tv_nsec) / 1e9;
}

// Whom the programs run as: root's own runs would be no user's (an IRC client warns a root user
// in a box it waits on), so a root benchmark runs them as an unprivileged user.
struct User {
    uid_t uid = 0;
    gid_t gid = 0;
};

// Starts a program with this environment added, as this user; its stdout and stderr go to `log`.
pid_t launch(const std::vector<std::string> &command, const std::map<std::string, std::string> &env,
             const std::vector<std::string> &unset, const std::string &log, int keepFd = -1,
             User user = {})
{
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    // A group of its own: a wrapper and the program under it end together.
    setpgid(0, 0);
    for (const auto &[name, value] : env)
        setenv(name.c_str(), value.c_str(), 1);
    for (const std::string &name : unset)
        unsetenv(name.c_str());
    const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (out >= 0)
        dup2(out, 1), dup2(out, 2);
    const int null = open("/dev/null", O_RDONLY);
    if (null >= 0)
        dup2(null, 0);
    for (int fd = 3; fd < 1024; ++fd)
        if (fd != keepFd)
            close(fd);
    if (user.uid != 0 && (setgroups(0, nullptr) != 0 || setgid(user.gid) != 0 || setuid(user.uid) != 0))
        _exit(126);
    std::vector<char *> argv;
    for (const std::string &part : command)
        argv.push_back(const_cast<char *>(part.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
}

// Ends a process this benchmark started, with the group it leads (a wrapper's program), and
// waits for it.
void end(pid_t pid)
{
    if (pid <= 0)
        return;
    kill(-pid, SIGTERM);
    for (int i = 0; i < 1000; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        usleep(10'000);
    }
    kill(-pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

// The processes whose parent is this one (services a bus started, say).
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
    for (const QString &entry : entries) {
        bool number = false;
        const pid_t pid = entry.toInt(&number);
        if (!number)
            continue;
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string field;
        std::getline(stat, field, ')');
        char state = 0;
        pid_t ppid = 0;
        if (stat >> state >> ppid && ppid == parent)
            children.push_back(pid);
    }
    return children;
}

// Ends a process this benchmark started and whatever it started, the youngest first.
void endWithDescendants(pid_t pid)
{
    for (const pid_t child : childrenOf(pid))
        endWithDescendants(child);
    end(pid);
}

// Reads a line from a descriptor, waiting up to 10 s.
std::string readLine(int fd)
{
    std::string line;
    pollfd wait{fd, POLLIN, 0};
    char c = 0;
    while (poll(&wait, 1, 10'000) > 0 && read(fd, &c, 1) == 1 && c != '\n')
        line += c;
    return line;
}

// Where a process's resident memory is: by file mapped (a library's code and data), the heap,
// and the rest; the largest first.
std::string residentByMapping(pid_t pid, int most)
{
    std::ifstream smaps("/proc/" + std::to_string(pid) + "/smaps");
    std::map<std::string, double> kib;
    std::string line;
    std::string name;
    while (std::getline(smaps, line)) {
        if (line.rfind("Rss:", 0) == 0) {
            kib[name] += std::stod(line.substr(4));
        } else if (!line.empty() && std::isxdigit(static_cast<unsigned char>(line[0]))
                   && line.find('-') != std::string::npos && line.find(':') > line.find(' ')) {
            // A mapping's first line: range, permissions, offset, device, inode, then the name.
            const std::size_t at = line.find_first_of("/[");
            name = at == std::string::npos ? "(anonymous)" : line.substr(at);
            if (const std::size_t slash = name.rfind('/'); name[0] == '/' && slash != std::string::npos)
                name = name.substr(slash + 1);
        }
    }
    std::vector<std::pair<double, std::string>> sorted;
    for (const auto &[mapping, size] : kib)
        sorted.emplace_back(size, mapping);
    std::sort(sorted.rbegin(), sorted.rend());
    std::string text;
    for (int i = 0; i < most && i < int(sorted.size()); ++i) {
        char entry[160];
        std::snprintf(entry, sizeof entry, "      %7.0f KiB  %s\n", sorted[std::size_t(i)].first,
                      sorted[std::size_t(i)].second.c_str());
        text += entry;
    }
    return text;
}

double residentMiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024.0;
    return -1;
}

// A window that is gone by the time it is asked about is no error here.
int ignoreErrors(Display *, XErrorEvent *)
{
    return 0;
}

// A window's title and size, as "title" WxH.
std::string describe(Display *display, Window window)
{
    std::string title = "?";
    XTextProperty name{};
    if (XGetWMName(display, window, &name) && name.value) {
        title.assign(reinterpret_cast<char *>(name.value), name.nitems);
        XFree(name.value);
    }
    XWindowAttributes attributes{};
    if (!XGetWindowAttributes(display, window, &attributes))
        return "\"" + title + "\" (gone)";
    return "\"" + title + "\" " + std::to_string(attributes.width) + "x"
        + std::to_string(attributes.height);
}

// Makes the user own a folder and all it holds.
void handOver(const std::string &folder, User user)
{
    if (user.uid == 0)
        return;
    chown(folder.c_str(), user.uid, user.gid);
    for (const auto &entry : std::filesystem::recursive_directory_iterator(folder))
        chown(entry.path().c_str(), user.uid, user.gid);
}

struct Run {
    double firstMs = -1;
    double rss = -1;
    std::string mappings;
    std::string windows; // every top-level window mapped: "name at ms"
};

struct Subject {
    std::string name;
    std::vector<std::string> command;
    std::string settings; // written to this file of the fresh home, when not empty
    std::string settingsText;
    std::vector<Run> runs;
};

Run measure(Display *display, Subject &subject, std::map<std::string, std::string> env,
            const std::vector<std::string> &wrap, double restSeconds, const std::string &logDir,
            User user, int mappings)
{
    QTemporaryDir home;
    const std::string root = QFile::encodeName(home.path()).toStdString();
    env["HOME"] = root;
    env["XDG_CONFIG_HOME"] = root + "/.config";
    env["XDG_DATA_HOME"] = root + "/.local/share";
    env["XDG_CACHE_HOME"] = root + "/.cache";
    env["XDG_STATE_HOME"] = root + "/.local/state";
    env["XDG_RUNTIME_DIR"] = root + "/run";
    QDir().mkpath(QString::fromStdString(root + "/run"));
    QFile::setPermissions(QString::fromStdString(root + "/run"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!subject.settings.empty()) {
        const QString path = QString::fromStdString(root + "/" + subject.settings);
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (file.open(QIODevice::WriteOnly))
            file.write(subject.settingsText.c_str());
    }
    handOver(root, user);
    std::vector<std::string> command = wrap;
    command.insert(command.end(), subject.command.begin(), subject.command.end());

    while (XPending(display)) {
        XEvent event;
        XNextEvent(display, &event);
    }
    Run run;
    const double start = now();
    const pid_t pid = launch(command, env, {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY"},
                             logDir + "/" + subject.name + ".log", -1, user);
    // Each top-level window mapped, when, and what it was then.
    struct Mapped {
        Window window;
        double ms;
        std::string then;
    };
    std::vector<Mapped> mapped;
    const int fd = ConnectionNumber(display);
    for (double left = restSeconds; left > 0; left = restSeconds - (now() - start)) {
        if (!XPending(display)) {
            pollfd wait{fd, POLLIN, 0};
            poll(&wait, 1, int(left * 1000) + 1);
            if (!XPending(display))
                continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != MapNotify || event.xmap.event != DefaultRootWindow(display)
            || event.xmap.override_redirect)
            continue;
        const double ms = (now() - start) * 1000;
        mapped.push_back({event.xmap.window, ms, describe(display, event.xmap.window)});
    }
    run.rss = residentMiB(pid);
    if (mappings > 0)
        run.mappings = residentByMapping(pid, mappings);
    // Titles as they are at rest: a window may name itself after it is mapped.
    for (const Mapped &map : mapped) {
        if (run.firstMs < 0)
            run.firstMs = map.ms;
        std::string seen = describe(display, map.window);
        if (seen.ends_with("(gone)"))
            seen = map.then + " (gone now)";
        char at[32];
        std::snprintf(at, sizeof at, " at %.0f ms", map.ms);
        run.windows += (run.windows.empty() ? "" : "; ") + seen + at;
    }
    end(pid);
    return run;
}

std::vector<std::string> words(const QString &text)
{
    std::vector<std::string> parts;
    for (const QString &part : text.split(QLatin1Char(' '), Qt::SkipEmptyParts))
        parts.push_back(part.toStdString());
    return parts;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

int compare(const QStringList &arguments)
{
    const auto option = [&](const char *name, const QString &otherwise) {
        const qsizetype at = arguments.indexOf(QString::fromLatin1(name));
        return at >= 0 ? arguments.value(at + 1) : otherwise;
    };
    const int runs = option("--runs", QStringLiteral("3")).toInt();
    const double rest = option("--rest", QStringLiteral("6")).toDouble();
    const std::vector<std::string> wrap = words(option("--wrap", QString()));
    const int mappings = option("--mappings", QStringLiteral("0")).toInt();
    const std::string self = QFile::encodeName(QCoreApplication::applicationFilePath()).toStdString();
    User user;
    if (geteuid() == 0) {
        const QByteArray name = option("--user", QStringLiteral("nobody")).toLocal8Bit();
        if (const passwd *entry = getpwnam(name.constData()))
            user = {entry->pw_uid, entry->pw_gid};
    }

    const std::string client = option("--client", QStringLiteral(KORVEX_CLIENT_PROGRAM)).toStdString();
    std::vector<Subject> subjects = {
        {"ours", {client}, {}, {}, {}},
        {"hexchat", {"hexchat"}, {}, {}, {}},
        {"hexchat-main", {"hexchat"}, ".config/hexchat/hexchat.conf", "gui_slist_skip = 1\n", {}},
        {"bare", {self, "--bare"}, {}, {}, {}},
    };
    std::erase_if(subjects, [&](const Subject &subject) {
        const bool chosen = std::any_of(subjects.begin(), subjects.end(), [&](const Subject &s) {
            return arguments.contains(QString::fromStdString(s.name));
        });
        return chosen && !arguments.contains(QString::fromStdString(subject.name));
    });

    QTemporaryDir logs;
    logs.setAutoRemove(false);
    const std::string logDir = QFile::encodeName(logs.path()).toStdString();
    // The display: Xvfb tells its number through a pipe once it is ready.
    int pipeFds[2];
    if (pipe(pipeFds) != 0)
        return 1;
    const pid_t xvfb = launch({"Xvfb", "-displayfd", std::to_string(pipeFds[1]), "-nolisten",
                               "tcp", "-screen", "0", "1280x1024x24"},
                              {}, {}, logDir + "/xvfb.log", pipeFds[1]);
    close(pipeFds[1]);
    const std::string displayName = ":" + readLine(pipeFds[0]);
    close(pipeFds[0]);
    Display *display = XOpenDisplay(displayName.c_str());
    if (!display) {
        std::fprintf(stderr, "no display from Xvfb\n");
        end(xvfb);
        return 1;
    }
    XSetErrorHandler(ignoreErrors);
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    std::map<std::string, std::string> env = {{"DISPLAY", displayName}};
    pid_t bus = -1;
    if (!arguments.contains(QStringLiteral("--no-bus"))) {
        if (pipe(pipeFds) != 0)
            return 1;
        bus = launch({"dbus-daemon", "--session", "--nofork",
                      "--print-address=" + std::to_string(pipeFds[1])},
                     {}, {}, logDir + "/bus.log", pipeFds[1], user);
        close(pipeFds[1]);
        env["DBUS_SESSION_BUS_ADDRESS"] = readLine(pipeFds[0]);
        close(pipeFds[0]);
    }
    std::printf("display %s, %s, programs run by uid %u; logs in %s\n", displayName.c_str(),
                bus > 0 ? ("session bus " + env["DBUS_SESSION_BUS_ADDRESS"]).c_str() : "no bus",
                unsigned(user.uid), logDir.c_str());
    for (int round = 0; round < runs; ++round) {
        for (Subject &subject : subjects) {
            subject.runs.push_back(measure(display, subject, env, wrap, rest, logDir, user,
                                           round == 0 ? mappings : 0));
            const Run &run = subject.runs.back();
            std::printf("  round %d %-13s first window %6.0f ms, RSS at %.0f s %6.1f MiB  [%s]\n%s",
                        round + 1, subject.name.c_str(), run.firstMs, rest, run.rss,
                        run.windows.c_str(), run.mappings.c_str());
            std::fflush(stdout);
        }
    }
    std::printf("medians of %d runs:\n", runs);
    for (const Subject &subject : subjects) {
        std::vector<double> times;
        std::vector<double> memory;
        std::string each;
        for (const Run &run : subject.runs) {
            times.push_back(run.firstMs), memory.push_back(run.rss);
            char figures[64];
            std::snprintf(figures, sizeof figures, "%s%.0f/%.1f", each.empty() ? "" : " ",
                          run.firstMs, run.rss);
            each += figures;
        }
        std::printf("  %-13s first window %5.0f ms, RSS %5.1f MiB   (%s)\n", subject.name.c_str(),
                    median(times), median(memory), each.c_str());
    }
    XCloseDisplay(display);
    if (bus > 0) {
        // Services the bus started for the programs go with it.
        endWithDescendants(bus);
    }
    end(xvfb);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc > 1 && std::strcmp(argv[1], "--bare") == 0) {
        QApplication app(argc, argv);
        return bareWindow();
    }
    if (argc > 1 && std::strcmp(argv[1], "logged-in") == 0) {
        prepareBenchEnvironment();
        QApplication app(argc, argv);
        return loggedIn();
    }
    QCoreApplication app(argc, argv);
    return compare(QCoreApplication::arguments().mid(1));
}
