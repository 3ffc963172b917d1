#pragma once

#include "core/settings.h"
#include "program.h"
#include "support/fake_server.h"
#include "support/script.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class QTextDocument;

// A history as the user sees it: its text with a tag wherever the style changes, such as
// "[blue*]ana : [black]hola\n" ("*" for bold).
QString styled(const QTextDocument *document);

// A window's control by its Designer object name, the name the product knows it by.
template <class T = QWidget> T *named(const QObject *window, const char *name)
{
    if (T *control = window->findChild<T *>(name))
        return control;
    qFatal("%s has no %s", window->metaObject()->className(), name);
}

// Dismisses every modal box that opens, counting them and keeping the last one's title and
// text. Paused, it leaves boxes open until poll() is called; given something to do instead,
// it does that instead of dismissing the next box.
class BoxCloser : public QObject {
    Q_OBJECT

public:
    BoxCloser()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] { paused ? void() : poll(); });
        m_timer.start(10);
    }
    void poll()
    {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            last = box->windowTitle() + ": " + box->text();
            ++count;
            QAbstractButton *ok = box->button(QMessageBox::Ok);
            instead ? std::exchange(instead, nullptr)() : (ok ? ok : box->escapeButton())->click();
        }
    }

    bool paused = false;
    std::function<void()> instead;
    int count = 0;
    QString last;

private:
    QTimer m_timer;
};

// Every test function gets a fresh client, logged out, and a fake server on the test program's
// own loopback address.
class ClientTest : public QObject {
    Q_OBJECT

public:
    explicit ClientTest(const QString &address) : m_address(address) {}

protected:
    FakeServer *server = nullptr;
    Program *program = nullptr;
    Mess *mess = nullptr;
    BoxCloser *boxes = nullptr;
    std::unique_ptr<QTemporaryDir> config;

    // Runs a script, steps apart by "; ": "verb argument" is something the user or the server
    // does, "what=value" checks what the user sees (the words are in act() and seen()).
    void play(const QString &script);
    QStringList userNames() const;

private Q_SLOTS:
    void init()
    {
        // Every test starts with no settings, and keeps them and the secrets away from the
        // user's.
        config = std::make_unique<QTemporaryDir>();
        qputenv("XDG_CONFIG_HOME", config->path().toLocal8Bit());
        qputenv("KORVEX_SECRETS", "file");
        qputenv("XDG_DATA_HOME", config->filePath("data").toLocal8Bit());
        qputenv("XDG_CACHE_HOME", config->filePath("cache").toLocal8Bit());
        server = new FakeServer(m_address);
        QVERIFY(server->listener.isListening());
        program = new Program;
        // The fake server offers no encryption: the user agreed to that long ago.
        program->settings().setClearTextAllowed(m_address, true);
        mess = program->mess();
        boxes = new BoxCloser;
        watchNotices();
    }
    void cleanup()
    {
        delete boxes;
        delete program;
        delete server;
    }

private:
    // What the client sent since the last call. A refresh's GETUSER goes out behind everything
    // sent before it, so this refreshes, waits for it, and returns what came before it.
    QByteArray sent();
    void act(const QString &verb, const QString &arg);
    // Counts the desktop notices the program sends, and keeps the last one.
    void watchNotices();
    QString seen(const QString &what);

    QString m_address;
    qint64 m_exitTook = -2;
    int m_notices = 0;
    QString m_lastNotice;
};
