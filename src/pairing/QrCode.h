#pragma once

#include <QByteArray>
#include <QImage>
#include <qrencode.h>

#include <memory>
#include <optional>

// A QR code holding bytes exactly as given (8-bit mode, error correction level M).
class QrCode {
public:
    // Pixels per module side in render()'s image.
    static constexpr int kModulePixels = 10;
    // The white margin scanners need around the code, in modules.
    static constexpr int kQuietModules = 4;

    // Nothing for empty input, which has no meaningful code, or input too long for any version.
    static std::optional<QrCode> encode(const QByteArray& bytes);
    // Black modules on white, kModulePixels each, without a quiet zone: whoever shows the
    // image surrounds it with white.
    static std::optional<QImage> render(const QByteArray& bytes);

    int version() const { return m_code->version; }
    // Modules per side.
    int modules() const { return m_code->width; }
    bool isDark(int x, int y) const;
    // modulePixels per module side, surrounded by quietModules of white.
    QImage image(int modulePixels = kModulePixels, int quietModules = 0) const;
    // The most whole pixels per module that fit the code and its quiet zone into a square of
    // this many pixels; at least 1.
    int modulePixelsToFit(int pixels) const;

private:
    struct Free {
        void operator()(QRcode* code) const { QRcode_free(code); }
    };
    explicit QrCode(QRcode* code)
        : m_code(code) {}

    std::unique_ptr<QRcode, Free> m_code;
};
