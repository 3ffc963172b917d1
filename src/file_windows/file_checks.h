#pragma once

#include <QImage>
#include <QString>
#include <QStringList>

class QDateTime;
class QMimeData;

// What the windows ask of a file before they show or open it.
namespace files {

// A thumbnail is at most this many pixels a side.
inline constexpr int ThumbnailSide = 96;
// A picture's header is the sender's word: one that claims more than these is not decoded, and
// no decode takes more than DecodeMegabytes of memory.
inline constexpr qint64 MostPixels = 50'000'000;
inline constexpr int MostSide = 16384;
inline constexpr int DecodeMegabytes = 64;

// The picture, scaled down to fit ThumbnailSide while it is decoded; null when it is not a
// picture, or its size is refused.
QImage thumbnail(const QString &path);

// Whether opening the file would run something: it has the executable bit, or its type (by
// content or by name) is a program, a script, a .desktop file or an installer.
bool isProgram(const QString &path);

// A picture pasted from the clipboard: "captura AAAA-MM-DD HH.MM.SS.png".
QString screenshotName(const QDateTime &when);

// The local files a drag carries; none when it carries anything else.
QStringList localFiles(const QMimeData *data);

} // namespace files
