#pragma once

#include <QByteArrayView>
#include <QString>

#include <sys/types.h>

namespace storage {

// Replaces the file at `path` with `bytes`, whole or not at all: they go to a new file beside it
// (made with exactly `mode`, never readable by others on the way), which is synced and renamed
// over the old one, and then the folder is synced, so that neither a full disk nor a power cut
// can leave a file that is empty or cut short. Every write, the sync and the close are checked:
// a buffered write that fails only when flushed would otherwise rename an empty file over a
// good one.
//
// Returns why the file was not safely written, as the system says it; empty when it was. On a
// failure before the rename the old file is untouched and the new one removed; a failure to
// sync the folder comes after the rename: the new file is in place, but may not survive a
// power cut.
[[nodiscard]] QString writeWholeFile(const QString &path, QByteArrayView bytes, mode_t mode);

} // namespace storage
