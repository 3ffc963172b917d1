#pragma once

#include <QString>

// Every command word of the wire, field 0 of a message, for the client and the server alike.
// Words compare exactly, letter case included. docs/PROTOCOL.md says what each carries.
namespace wire {

// The plain protocol.
inline const QString Login = QStringLiteral("LOGIN");
inline const QString GetUser = QStringLiteral("GETUSER");
inline const QString Pm = QStringLiteral("PM");
inline const QString Ignore = QStringLiteral("IGNORE");
inline const QString Enter = QStringLiteral("ENTER");
inline const QString Chat = QStringLiteral("CHAT");
inline const QString Leave = QStringLiteral("LEAVE");
inline const QString Logout = QStringLiteral("LOGOUT");
inline const QString Nick = QStringLiteral("NICK");
// A notice: the administrator's, or the server's to one client.
inline const QString Notice = QStringLiteral("MESSAGE");
inline const QString Boot = QStringLiteral("BOOT");

// The extension's markers: the server's offer, the client's answer and the server's.
inline const QString Offer = QStringLiteral("OFFER");
inline const QString Accept = QStringLiteral("ACCEPT");
inline const QString Accepted = QStringLiteral("ACCEPTED");
// REFUSED|reason|text; TOKEN|secret; PASSWORD|password.
inline const QString Refused = QStringLiteral("REFUSED");
inline const QString Token = QStringLiteral("TOKEN");
inline const QString Password = QStringLiteral("PASSWORD");
// RECEIVED|from|id; SEEN|from|id; MARK|id|state[|text].
inline const QString Received = QStringLiteral("RECEIVED");
inline const QString Seen = QStringLiteral("SEEN");
inline const QString Mark = QStringLiteral("MARK");
// STATE|state|text from a client, STATE|nick|state|text from the server.
inline const QString StateCommand = QStringLiteral("STATE");

// Files, on the chat connection: FILES| from the client, FILES|limits... from the server;
// SENDFILE|to|id|name|size|sha256, UPLOAD|id|ticket, FILE|to|from|id|name|size|sha256|time,
// GETFILE|id, DOWNLOAD|id|ticket, GOTFILE|id, DROPFILE|id. On a transfer connection, the
// client's UPLOAD|ticket or DOWNLOAD|ticket|offset; the server's FROM|offset and STORED|offset.
inline const QString Files = QStringLiteral("FILES");
inline const QString SendFile = QStringLiteral("SENDFILE");
inline const QString Upload = QStringLiteral("UPLOAD");
inline const QString FileOffer = QStringLiteral("FILE");
inline const QString GetFile = QStringLiteral("GETFILE");
inline const QString Download = QStringLiteral("DOWNLOAD");
inline const QString GotFile = QStringLiteral("GOTFILE");
inline const QString DropFile = QStringLiteral("DROPFILE");
inline const QString From = QStringLiteral("FROM");
inline const QString Stored = QStringLiteral("STORED");

// A nickname on several desks: DESKCODE| from the holder, DESKCODE|code|expires (or
// DESKCODE|||text) from the server; LOGIN|nick|token|key|code|desk from a new desk; DESKS| and
// DESKS|current|name|used...; DROPDESK|name; TAKEN|text to the desk another one took over from.
inline const QString DeskCode = QStringLiteral("DESKCODE");
inline const QString Desks = QStringLiteral("DESKS");
inline const QString DropDesk = QStringLiteral("DROPDESK");
inline const QString Taken = QStringLiteral("TAKEN");

} // namespace wire
