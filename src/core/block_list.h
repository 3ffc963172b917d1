#pragma once

#include <QString>

// The block list is the text of a box, one nickname per line; the user may also type into it.
namespace block_list {

// Blocked when one line equals the nickname's entry exactly; empty lines block nobody.
bool contains(const QString &listText, const QString &nickname);
// A nickname as its line in the list. Line breaks in it would split it into lines that block
// other users, so each becomes U+FFFD.
QString entryOf(const QString &nickname);
// The list with the entry on a line of its own at the end.
QString added(const QString &listText, const QString &entry);
// The list without any line equal to the nickname's entry.
QString removed(const QString &listText, const QString &nickname);

// A blocked user's node carries this mark behind the nickname.
inline const QString Mark = QStringLiteral(" (Ignored)");

} // namespace block_list
