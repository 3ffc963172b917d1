#pragma once

#include <QImage>
#include <QString>

// The text as a QR code (libqrencode, error correction M), black on white, each module `scale`
// pixels square, inside the four modules of quiet margin readers need. A null image when the
// text cannot be encoded.
QImage qrPicture(const QString &text, int scale);
