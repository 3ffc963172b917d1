// The desktop's idle time and lock as the client reads them, from a screen saver of the test's
// own on a private bus.
#include "main_window/desktop_idle.h"

#include <QDBusConnection>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

// The methods of Plasma's screen locker the client asks, answering what the test sets.
class FakeScreenSaver : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.ScreenSaver")

public:
    FakeScreenSaver(uint idle, bool active) : idle(idle), active(active) {}
    const uint idle;
    const bool active;

public Q_SLOTS:
    uint GetSessionIdleTime() { return idle; }
    bool GetActive() { return active; }

Q_SIGNALS:
    void ActiveChanged(bool active);
};

class TestDesktopIdle : public QObject {
    Q_OBJECT

    QProcess m_bus;

private Q_SLOTS:
    void initTestCase()
    {
        m_bus.start(QStringLiteral("dbus-daemon"), {"--session", "--print-address", "--nofork"});
        if (!m_bus.waitForReadyRead(10000))
            QSKIP("no dbus-daemon here");
        // The system bus too, so that this machine's logind is not found.
        const QByteArray address = m_bus.readLine().trimmed();
        qputenv("DBUS_SESSION_BUS_ADDRESS", address);
        qputenv("DBUS_SYSTEM_BUS_ADDRESS", address);
    }

    void screenSaver_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<uint>("idle");
        QTest::addColumn<bool>("locked");
        QTest::newRow("nothing to read") << QString() << 0u << false;
        QTest::newRow("Plasma, 90 s idle") << "/org/freedesktop/ScreenSaver" << 90000u << false;
        QTest::newRow("older Plasma, locked") << "/ScreenSaver" << 1500u << true;
    }

    void screenSaver()
    {
        QFETCH(QString, path);
        QFETCH(uint, idle);
        QFETCH(bool, locked);
        FakeScreenSaver saver(idle, locked);
        QDBusConnection bus = QDBusConnection::sessionBus();
        const QString name = QStringLiteral("org.freedesktop.ScreenSaver");
        const auto gone = qScopeGuard([&] { bus.unregisterService(name); });
        if (!path.isEmpty())
            QVERIFY(bus.registerObject(path, &saver, QDBusConnection::ExportAllContents)
                && bus.registerService(name));

        const auto source = makeDesktopIdleSource();
        QCOMPARE(source->name(), path.isEmpty() ? QString() : name);
        if (path.isEmpty())
            return;
        QSignalSpy sampled(source.get(), &IdleSource::sampled);
        source->sample();
        QVERIFY(sampled.wait());
        QCOMPARE(sampled.last().at(0).value<std::chrono::milliseconds>(), std::chrono::milliseconds(idle));
        QCOMPARE(sampled.last().at(1).toBool(), locked);
        // The signal's word counts at once, even before the locker's own answer changes.
        Q_EMIT saver.ActiveChanged(!locked);
        QVERIFY(sampled.wait());
        QCOMPARE(sampled.last().at(1).toBool(), !locked);
        // The locker gone: the user counts as present, not away for good.
        bus.unregisterService(name);
        source->sample();
        QVERIFY(sampled.wait());
        QCOMPARE(sampled.last().at(0).value<std::chrono::milliseconds>(), std::chrono::milliseconds(0));
    }
};

QTEST_MAIN(TestDesktopIdle)
#include "test_desktop_idle.moc"
