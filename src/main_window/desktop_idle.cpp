#include "main_window/desktop_idle.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QGuiApplication>

#include <algorithm>
#include <optional>

namespace {

using std::chrono::milliseconds;

// At start every probe leaves at once, so that a hung service delays the start by this much
// at most; a missing one answers at once, from the bus.
constexpr int ProbeTimeout = 400;
// A later question unanswered by then is dropped: the next sample asks again.
constexpr int CallTimeout = 3000;

// One method of one object of a service: the calls never start a service that is not running.
struct Method {
    QString service;
    QString path;
    QString interface;
    QString name;

    QDBusMessage message(const QVariantList &arguments = {}) const
    {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, name);
        call.setArguments(arguments);
        call.setAutoStartService(false);
        return call;
    }
};

const QString Properties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString Login1 = QStringLiteral("org.freedesktop.login1");
const QString Login1Session = QStringLiteral("org.freedesktop.login1.Session");

Method freedesktopIdle(const QString &path)
{
    const QString saver = QStringLiteral("org.freedesktop.ScreenSaver");
    return {saver, path, saver, QStringLiteral("GetSessionIdleTime")};
}

const Method MutterIdle{QStringLiteral("org.gnome.Mutter.IdleMonitor"),
    QStringLiteral("/org/gnome/Mutter/IdleMonitor/Core"), QStringLiteral("org.gnome.Mutter.IdleMonitor"),
    QStringLiteral("GetIdletime")};
const Method GnomeLock{QStringLiteral("org.gnome.ScreenSaver"), QStringLiteral("/org/gnome/ScreenSaver"),
    QStringLiteral("org.gnome.ScreenSaver"), QStringLiteral("GetActive")};
// The session of this process, or else the user's graphical one.
const Method LogindSession{Login1, QStringLiteral("/org/freedesktop/login1/session/auto"), Properties,
    QStringLiteral("GetAll")};

class NoIdleSource : public IdleSource {
public:
    using IdleSource::IdleSource;
    QString name() const override { return {}; }
    void sample() override {}
};

// A method that answers the idle time in milliseconds (Plasma's GetSessionIdleTime and
// Mutter's GetIdletime both do, whatever the older documents say of seconds), and a
// GetActive for the lock, whose ActiveChanged signal reports a change at once.
class SessionBusSource : public IdleSource {
    Q_OBJECT

public:
    SessionBusSource(QString name, Method idle, Method lock, QObject *parent)
        : IdleSource(parent), m_name(std::move(name)), m_idle(std::move(idle)), m_lock(std::move(lock))
    {
        m_bus.connect(m_lock.service, m_lock.path, m_lock.interface, QStringLiteral("ActiveChanged"), this,
            SLOT(lockChanged(bool)));
    }

    QString name() const override { return m_name; }
    void sample() override { ask(std::nullopt); }

private Q_SLOTS:
    void lockChanged(bool locked) { ask(locked); }

private:
    void ask(std::optional<bool> locked)
    {
        auto *idle = new QDBusPendingCallWatcher(m_bus.asyncCall(m_idle.message(), CallTimeout), this);
        connect(idle, &QDBusPendingCallWatcher::finished, this, [this, locked](QDBusPendingCallWatcher *call) {
            call->deleteLater();
            // A service gone (a locker that crashed) can no longer tell: the user counts as
            // present, rather than away for good.
            if (call->isError())
                return Q_EMIT sampled(milliseconds(0), locked.value_or(false));
            const milliseconds since(call->reply().arguments().value(0).toULongLong());
            if (locked) {
                Q_EMIT sampled(since, *locked);
                return;
            }
            auto *lock = new QDBusPendingCallWatcher(m_bus.asyncCall(m_lock.message(), CallTimeout), this);
            connect(lock, &QDBusPendingCallWatcher::finished, this, [this, since](QDBusPendingCallWatcher *call) {
                call->deleteLater();
                // No lock service (GNOME without its shell): taken as unlocked.
                Q_EMIT sampled(since, !call->isError() && call->reply().arguments().value(0).toBool());
            });
        });
    }

    QDBusConnection m_bus = QDBusConnection::sessionBus();
    QString m_name;
    Method m_idle;
    Method m_lock;
};

// logind's hints for this session: idle since a time of CLOCK_MONOTONIC, and locked.
class LogindSource : public IdleSource {
    Q_OBJECT

public:
    explicit LogindSource(QObject *parent) : IdleSource(parent)
    {
        // The signal comes from the session's own path, which "auto" only stands for: a change
        // of any session's lock makes this one sampled.
        m_bus.connect(Login1, QString(), Properties, QStringLiteral("PropertiesChanged"), this,
            SLOT(changed(QString, QVariantMap, QStringList)));
    }

    QString name() const override { return QStringLiteral("logind"); }

    void sample() override
    {
        auto *call = new QDBusPendingCallWatcher(
            m_bus.asyncCall(LogindSession.message({Login1Session}), CallTimeout), this);
        connect(call, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher *call) {
            call->deleteLater();
            const QDBusPendingReply<QVariantMap> reply = *call;
            if (reply.isError())
                return Q_EMIT sampled(milliseconds(0), false);
            const QVariantMap hints = reply.value();
            milliseconds idle{0};
            if (hints.value(QStringLiteral("IdleHint")).toBool()) {
                // Both in microseconds of the same clock as steady_clock's.
                const auto now = std::chrono::duration_cast<std::chrono::microseconds>(
                    std::chrono::steady_clock::now().time_since_epoch());
                const std::chrono::microseconds since(
                    hints.value(QStringLiteral("IdleSinceHintMonotonic")).toULongLong());
                idle = std::chrono::duration_cast<milliseconds>(std::max(now - since, std::chrono::microseconds::zero()));
            }
            Q_EMIT sampled(idle, hints.value(QStringLiteral("LockedHint")).toBool());
        });
    }

private Q_SLOTS:
    void changed(const QString &interface, const QVariantMap &values, const QStringList &dropped)
    {
        const QString locked = QStringLiteral("LockedHint");
        if (interface == Login1Session && (values.contains(locked) || dropped.contains(locked)))
            sample();
    }

private:
    QDBusConnection m_bus = QDBusConnection::systemBus();
};

// The X server's own idle counter, through Qt's connection to it; it knows no lock.
class X11Source : public IdleSource {
public:
    X11Source(Display *display, QObject *parent) : IdleSource(parent), m_display(display) {}
    QString name() const override { return QStringLiteral("X11 MIT-SCREEN-SAVER"); }
    void sample() override
    {
        Q_EMIT sampled(xIdle(m_display).value_or(milliseconds(0)), false);
    }

    static bool present(Display *display);
    static std::optional<milliseconds> xIdle(Display *display);

private:
    Display *m_display;
};

Display *x11Display()
{
    auto *x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
    return x11 ? x11->display() : nullptr;
}

bool onWayland()
{
    return qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
        || qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
}

} // namespace

std::unique_ptr<IdleSource> makeDesktopIdleSource(QObject *parent)
{
    QDBusConnection session = QDBusConnection::sessionBus();
    // Plasma's locker serves /ScreenSaver too, the only path of its older versions.
    const Method freedesktop = freedesktopIdle(QStringLiteral("/org/freedesktop/ScreenSaver"));
    const Method freedesktopOld = freedesktopIdle(QStringLiteral("/ScreenSaver"));
    // An error answers a desktop without the service, and also one that offers the name
    // without the idle time: GNOME's only brokers inhibitions, Plasma's refuses on Wayland.
    QDBusPendingCall probes[] = {session.asyncCall(freedesktop.message(), ProbeTimeout),
        session.asyncCall(freedesktopOld.message(), ProbeTimeout),
        session.asyncCall(MutterIdle.message(), ProbeTimeout),
        QDBusConnection::systemBus().asyncCall(LogindSession.message({Login1Session}), ProbeTimeout)};
    const auto answers = [&probes](int index) {
        probes[index].waitForFinished();
        return !probes[index].isError();
    };
    std::unique_ptr<IdleSource> source;
    if (answers(0) || answers(1)) {
        const Method &idle = probes[0].isError() ? freedesktopOld : freedesktop;
        Method lock = idle;
        lock.name = QStringLiteral("GetActive");
        source = std::make_unique<SessionBusSource>(QStringLiteral("org.freedesktop.ScreenSaver"), idle, lock, parent);
    } else if (answers(2)) {
        source = std::make_unique<SessionBusSource>(MutterIdle.service, MutterIdle, GnomeLock, parent);
    } else if (Display *display = x11Display(); display && !onWayland() && X11Source::present(display)) {
        // Before logind: on X its idle hint moves only where the desktop sets it, which few
        // besides GNOME do, while the X server counts every input itself. Not under Wayland:
        // there the X server sees only what is typed into X windows.
        source = std::make_unique<X11Source>(display, parent);
    } else if (answers(3)) {
        source = std::make_unique<LogindSource>(parent);
    } else {
        source = std::make_unique<NoIdleSource>(parent);
    }
    return source;
}

#include "desktop_idle.moc"

// The X headers last: their macros (None, Bool, Status...) would clash with Qt's headers.
#include <X11/Xlib.h>
#include <X11/extensions/scrnsaver.h>

bool X11Source::present(Display *display)
{
    int event = 0;
    int error = 0;
    return XScreenSaverQueryExtension(display, &event, &error);
}

std::optional<milliseconds> X11Source::xIdle(Display *display)
{
    XScreenSaverInfo *info = XScreenSaverAllocInfo();
    std::optional<milliseconds> idle;
    if (info && XScreenSaverQueryInfo(display, DefaultRootWindow(display), info))
        idle = milliseconds(info->idle);
    XFree(info);
    return idle;
}
