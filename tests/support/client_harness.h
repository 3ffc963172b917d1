#pragma once

#include "support/fake_server.h"

#include <QList>
#include <QString>
#include <QStringView>

#include <initializer_list>

class QTextDocument;
class QTreeWidgetItem;

class Program;

// Logs the program in against the fake server as a user would: nickname, address, button.
// Returns false when the LOGIN message did not arrive.
bool logIn(Program &program, FakeServer &server, const QString &nickname);

// The users listed under the root of the program's user list, in order.
QStringList userNames(Program &program);
// The first node of the user list with exactly this text, or nullptr.
QTreeWidgetItem *findNode(Program &program, const QString &text);
// Logs in as a user would and has the server announce these users, as NICK messages the client
// handles one by one; shows the main window and forgets what the server received so far.
bool logInWithUsers(Program &program, FakeServer &server, const QString &nickname,
                    const QStringList &users);

// A refresh's GETUSER goes out behind everything the client sent before it on the connection.
// Clicks the refresh button and waits for it, then returns all the server has received; so a
// test can see that nothing else was sent, without waiting an arbitrary time.
QByteArray receivedUpToARefresh(Program &program, FakeServer &server);
// The GETUSER message, in bytes.
QByteArray getUserBytes();

// The LOGIN message for a nickname, in bytes.
QByteArray loginBytes(const QString &nickname);

// A message as the client sends it, in bytes.
QByteArray clientBytes(const QString &command, std::initializer_list<QStringView> args);

// The styled pieces of a history, in order: text, colour as "#rrggbb", bold or not. Pieces with
// the same style that follow each other are one piece.
struct Piece {
    QString text;
    QString colour;
    bool bold;
    bool operator==(const Piece &) const = default;
};
QList<Piece> piecesOf(const QTextDocument *document);
char *toString(const Piece &piece);

// Dismisses every modal box that opens, counting how many it has dismissed and remembering
// the last one's title and text. Paused, it leaves boxes open until poll() is called.
class BoxCloser : public QObject {
    Q_OBJECT

public:
    BoxCloser();
    void setPaused(bool paused) { m_paused = paused; }
    // Dismisses the box that is open now, if any.
    void poll();
    int count() const { return m_count; }
    QString lastTitle() const { return m_title; }
    QString lastText() const { return m_text; }
    int lastTextFormat() const { return m_format; }
    int lastIcon() const { return m_icon; }

private:
    bool m_paused = false;
    int m_count = 0;
    QString m_title;
    QString m_text;
    int m_format = -1;
    int m_icon = -1;
};
