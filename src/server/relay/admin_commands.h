#pragma once

#include "server/admin_channel.h"

#include <QString>

class Admission;
class Desks;
class Files;
class PrivateLines;
class Roster;
struct Relay;

// What the administrator may do, one command line at a time, from the console or the
// administrator's socket. Each answer is the lines it wrote to the log.
class AdminCommands {
public:
    AdminCommands(Relay &relay, Roster &roster, Admission &admission, PrivateLines &lines,
                  Files &files, Desks &desks);

    // "msg TEXT", "boot NICK", "users", "claims", "files" or "release NICK".
    AdminAnswer run(const QString &line);
    // What the administrator may type, one line.
    static QString help();

private:
    void answer(const QString &where, const QString &what);
    void notice(const QString &text);
    // Whether anyone was booted. A booted user may only log out, which closes it; anything
    // else it sends is ignored until it is closed.
    bool boot(const QString &nickname);
    void listUsers();
    void listClaims();
    void listFiles();
    bool release(const QString &nickname);

    Relay &m_relay;
    Roster &m_roster;
    Admission &m_admission;
    PrivateLines &m_lines;
    Files &m_files;
    Desks &m_desks;
    // What the command under way has written to the log.
    AdminAnswer m_answer;
};
