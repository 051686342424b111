#include "pairing/QrCode.h"

#include <QColor>

#include <algorithm>

std::optional<QrCode> QrCode::encode(const QByteArray& bytes) {
    if (bytes.isEmpty()) {
        return std::nullopt;
    }
    // encodeData takes the bytes as they are; the string variants would guess character sets.
    QRcode* code = QRcode_encodeData(static_cast<int>(bytes.size()),
                                     reinterpret_cast<const unsigned char*>(bytes.constData()), 0,
                                     QR_ECLEVEL_M);
    if (code == nullptr) {
        return std::nullopt;
    }
    return QrCode(code);
}

std::optional<QImage> QrCode::render(const QByteArray& bytes) {
    if (auto code = encode(bytes)) {
        return code->image();
    }
    return std::nullopt;
}

bool QrCode::isDark(int x, int y) const {
    // Bit 0 of each module byte is its colour; the other bits describe its role.
    return (m_code->data[y * m_code->width + x] & 1) != 0;
}

QImage QrCode::image(int modulePixels, int quietModules) const {
    const int quiet = quietModules * modulePixels;
    const int side = modules() * modulePixels + 2 * quiet;
    QImage image(side, side, QImage::Format_RGB32);
    const QRgb dark = qRgb(0, 0, 0);
    const QRgb light = qRgb(255, 255, 255);
    image.fill(light);
    for (int y = 0; y < side - 2 * quiet; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y + quiet)) + quiet;
        for (int x = 0; x < side - 2 * quiet; ++x) {
            if (isDark(x / modulePixels, y / modulePixels)) {
                line[x] = dark;
            }
        }
    }
    return image;
}

int QrCode::modulePixelsToFit(int pixels) const {
    return std::max(1, pixels / (modules() + 2 * kQuietModules));
}
