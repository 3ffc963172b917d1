#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

struct Guest;
struct Relay;

// One nickname used from several desks: the holder of a claim makes a code, typed on another
// desk, with which that desk records its own key for the claim (docs/PROTOCOL.md, "A nickname
// on several desks"). Codes live in memory, only as their SHA-256 digests, one a claim.
class Desks {
public:
    explicit Desks(Relay &relay) : m_relay(relay) {}

    // A code as the user types it: the alphabet's characters, dashes and blanks aside, any case;
    // empty for anything that is not a well-formed code (a wrong check character too).
    static QString codeOf(const QString &typed);
    // A new code, grouped for reading.
    static QString newCode();

    // DESKCODE from a guest: a new code for the claim it holds, in place of the claim's last.
    void makeCode(Guest &guest);
    // Spends the claim's code: empty when it was the claim's, unused and in time; otherwise
    // why not, for the user.
    QString takeCode(const QString &form, const QString &typed);
    // DESKS and DROPDESK from the holder: its claim's desks; one of them dropped, but not the
    // one it uses.
    void list(Guest &guest);
    void drop(Guest &guest, const QString &desk);
    // The claim is released: its code with it.
    void released(const QString &form) { m_codes.remove(form); }

private:
    struct Code {
        QByteArray digest;
        qint64 expires = 0; // milliseconds since the epoch
        bool used = false;
    };

    Relay &m_relay;
    QHash<QString, Code> m_codes; // by the claim's folded nickname
};
