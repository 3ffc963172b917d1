#pragma once

#include <QString>

#include <functional>

// The names the client gives the files it saves. A name comes from the sender and is untrusted:
// whatever it holds, the file lands in the download folder itself, shows, and overwrites
// nothing.
namespace downloads {

// The longest name a file may have on the desktop's file systems, in bytes of UTF-8.
inline constexpr qsizetype MostNameBytes = 255;

// The name as offered, made safe: only what follows its last separator ('/' or '\'), without
// control or format characters (a right-to-left mark can disguise an extension), without dots
// or blanks at either end (no "..", nothing hidden), at most MostNameBytes with its extension
// kept; "archivo" when nothing is left.
QString safeName(const QString &offered);

// A name no file in the folder has: the safe name, or the same with " (2)", " (3)"... before its
// extension. `taken` says whether a name is in use.
QString freeName(const QString &safe, const std::function<bool(const QString &name)> &taken);

} // namespace downloads
