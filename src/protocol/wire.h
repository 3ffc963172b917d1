#pragma once

#include "protocol/commands.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <initializer_list>
#include <optional>

// The messenger's wire format: fields joined by a four-character separator, single-byte
// Windows-1252 text. Plain peers know no framing: one read is one message. Our client and server
// agree on framing when they meet (docs/PROTOCOL.md): from then on every message ends with
// Terminator.
namespace wire {

// On the wire the bytes A4 B6 A3 C6.
inline const QString FieldSeparator = QStringLiteral("\u00A4\u00B6\u00A3\u00C6");

inline constexpr quint16 ServerPort = 12584;

// What a character that Windows-1252 lacks becomes on the wire.
inline constexpr char Replacement = '?';

// Ends every framed message; it never occurs inside a field.
inline constexpr char Terminator = '\0';

QByteArray toCodePage(QStringView text);
QString fromCodePage(QByteArrayView bytes);

// The command followed by each argument behind a separator. Separators and terminators inside an
// argument are removed, until none is left, so that no typed or received text can cut a field
// short, forge extra fields or end a framed message.
QString buildMessage(QStringView command, std::initializer_list<QStringView> args);
// One argument as the other end reads it: what buildMessage leaves of it, through the code page.
QString asSent(QStringView arg);

// One message as read: field 0 is the command; a field that is not there reads as empty.
class Message {
public:
    explicit Message(const QString &text);
    explicit Message(QStringList fields) : m_fields(std::move(fields)) {}

    QString field(qsizetype index) const;
    QString command() const { return field(0); }
    qsizetype fieldCount() const { return m_fields.size(); }

private:
    QStringList m_fields;
};

// The longest nickname, in characters (one byte each on the wire): the login box takes no more,
// and the server refuses a longer one, before and after a log-in, from any client. What every
// newcomer is sent grows with it, once per user online.
inline constexpr int NicknameLength = 30;
// The form in which two nicknames are the same one, for the server's claims and online names
// and for the client's keys: letter case aside, I, l and 1 are one letter, and so are O and 0.
QString nicknameForm(QStringView nickname);

// Several NICK messages that reached us in one read look like "NICK", sep, "anaNICK", sep,
// "luis". When the fields have that shape, returns one nickname per merged message, in order;
// otherwise returns nothing and the read stays one message.
QStringList splitNickBurst(const Message &message);

// The extension our client and server agree on (docs/PROTOCOL.md). The server offers its
// features when a client connects; a client that knows them accepts with a marker after which
// everything it sends is framed; the server answers with its own marker.
inline const QString Framing = QStringLiteral("frame");
// Offered with framing: the connection goes on encrypted once both markers have passed.
inline const QString Tls = QStringLiteral("tls");
// Offered with encryption: the group's password comes first, encrypted.
inline const QString PasswordFeature = QStringLiteral("password");
// The bytes of a marker message: the command, the features, the terminator.
QByteArray marker(const QString &command, bool tls = false);

// Sent by our server to clients that accepted the offer. REFUSED|reason|text: the server
// will not have the client, says why in Spanish, and closes the connection; the reasons are
// RefusedNickname, RefusedPassword, RefusedClear and RefusedBusy. TOKEN|secret: after a log-in, what lets
// the same client take its nickname back after a lost connection (LOGIN|nick|secret).
// PASSWORD|password: the client's, before its LOGIN.
inline const QString RefusedNickname = QStringLiteral("nickname");
inline const QString RefusedPassword = QStringLiteral("password");
inline const QString RefusedClear = QStringLiteral("tls");
// Too much from the client's address for now: it may try again later.
inline const QString RefusedBusy = QStringLiteral("busy");

// Offered with encryption by a server that keeps things between runs: nicknames claimed with a
// key (LOGIN|nick|token|key), lines kept for those who are away, and marks on private lines
// (PM|to|from|text|id from our client; PM|to|from|text|id|time to it). RECEIVED|from|id: the
// recipient has stored the line; SEEN|from|id: it has been on screen; MARK|id|state[|text]: to
// the sender, where its line is.
inline const QString KeepFeature = QStringLiteral("keep");
inline const QString MarkKept = QStringLiteral("kept");
inline const QString MarkDelivered = QStringLiteral("delivered");
inline const QString MarkRead = QStringLiteral("read");
inline const QString MarkFailed = QStringLiteral("failed");
// Offered beside keeping: files through the server, on transfer connections of their own
// (docs/PROTOCOL.md, "Files"); a transfer refused says REFUSED|file|text.
inline const QString FilesFeature = QStringLiteral("files");
inline const QString RefusedFile = QStringLiteral("file");
// A file's SHA-256 in hexadecimal digits; a ticket's digits; the longest name of a file offered.
inline constexpr int DigestDigits = 64;
inline constexpr int TicketDigits = 32;
inline constexpr int FileNameLength = 255;
// The kernel's buffer for an upload, asked by its sender (SO_SNDBUF) and by the server
// (SO_RCVBUF; Linux doubles both): what those hold is lost with a server killed, and grown by
// themselves on loopback they held 5 MiB, past the 4 MiB the server acknowledges at a time.
inline constexpr int UploadSocketBuffer = 256 * 1024;
// How many hexadecimal digits a line's id and a nickname's key have.
inline constexpr int LineIdDigits = 32;
inline constexpr int KeyDigits = 64;
// Who is at their desk, between our client and our server on a framed connection:
// STATE|state|text from the client, STATE|nick|state|text from the server to every framed
// client (the list's states follow the list). A plain peer never sees one.
inline const QString StateAvailable = QStringLiteral("available");
inline const QString StateAway = QStringLiteral("away");
inline const QString StateBusy = QStringLiteral("busy");
// The longest state text, in characters: the server cuts what is longer.
inline constexpr int StateTextLength = 80;
// What a state's text may be: plain text on one line, no blank at either end, not too long.
QString stateText(QString text);

// Whether the text is that many lowercase hexadecimal digits, as ids, tickets and digests are.
bool isHex(QStringView text, qsizetype digits);
// A count of bytes as the wire writes it: decimal digits only, no sign, no blank, at most 18 of
// them; nothing for anything else.
std::optional<qint64> byteCount(QStringView field);

// So many random lowercase hexadecimal digits from the system's generator, for ids and secrets.
QString randomHex(int digits);

// Splits a byte stream into framed messages, whatever the cuts between reads.
class FrameReader {
public:
    // A tail longer than this without a terminator is not a message; see overflowed().
    explicit FrameReader(qsizetype maxMessage) : m_maxMessage(maxMessage) {}

    // The messages the bytes complete, without their terminators; an unfinished tail is kept for
    // the next call.
    QList<QByteArray> feed(QByteArrayView bytes);
    // A message longer than allowed came in the last bytes fed: it has been thrown away, and
    // so is the rest of it when it is not finished yet.
    bool overflowed() const { return m_overflowed; }
    qsizetype maxMessage() const { return m_maxMessage; }
    // The bytes of the unfinished message kept so far.
    qsizetype pending() const { return m_tail.size(); }

private:
    qsizetype m_maxMessage;
    QByteArray m_tail;
    bool m_overflowed = false;
    bool m_skipping = false;
};

} // namespace wire
