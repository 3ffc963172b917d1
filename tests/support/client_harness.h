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

// Dismisses the next modal box that opens, counting how many it has dismissed and remembering
// the last one's title and text.
class BoxCloser : public QObject {
    Q_OBJECT

public:
    BoxCloser();
    int count() const { return m_count; }
    QString lastTitle() const { return m_title; }
    QString lastText() const { return m_text; }
    int lastTextFormat() const { return m_format; }
    int lastIcon() const { return m_icon; }

private:
    void poll();

    int m_count = 0;
    QString m_title;
    QString m_text;
    int m_format = -1;
    int m_icon = -1;
};
