#include "layouts/qr_picture.h"

#include <qrencode.h>

#include <memory>

QImage qrPicture(const QString &text, int scale)
{
    constexpr int margin = 4;
    const std::unique_ptr<QRcode, decltype(&QRcode_free)> code(
        QRcode_encodeString(text.toUtf8().constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1),
        &QRcode_free);
    if (!code)
        return {};
    const int side = (code->width + 2 * margin) * scale;
    QImage picture(side, side, QImage::Format_Mono);
    picture.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)});
    picture.fill(0);
    // Each module's byte says whether it is dark in its lowest bit.
    for (int y = 0; y < code->width; ++y) {
        for (int x = 0; x < code->width; ++x) {
            if (!(code->data[y * code->width + x] & 1))
                continue;
            for (int dy = 0; dy < scale; ++dy)
                for (int dx = 0; dx < scale; ++dx)
                    picture.setPixel((x + margin) * scale + dx, (y + margin) * scale + dy, 1);
        }
    }
    return picture;
}
