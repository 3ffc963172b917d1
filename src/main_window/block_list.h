#pragma once

#include <QString>

// The block list is the text of a box, one nickname per line; the user may also type into it.
namespace block_list {

// Blocked when one line equals the nickname exactly; empty lines block nobody.
bool contains(const QString &listText, const QString &nickname);
// The list with the entry on a line of its own at the end.
QString added(const QString &listText, const QString &entry);
// The list without any line equal to the nickname.
QString removed(const QString &listText, const QString &nickname);

// A blocked user's node carries this mark behind the nickname.
inline const QString Mark = QStringLiteral(" (Ignored)");
// A node is marked when its text contains "Ignored" anywhere.
bool isMarked(const QString &nodeText);
// The nickname of a node: its text without the marks behind it.
QString nicknameOf(const QString &nodeText);

} // namespace block_list
