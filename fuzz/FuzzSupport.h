#pragma once

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace FuzzSupport {

// A broken property must stop the run, or libFuzzer would not keep the input.
inline void require(bool holds, const char* what) {
    if (!holds) {
        std::fprintf(stderr, "fuzz check failed: %s\n", what);
        std::abort();
    }
}

// The bytes without a copy; they live for the whole call.
inline QByteArray bytes(const uint8_t* data, size_t size) {
    return QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
}

// The text the bytes spell, or nothing when they are not valid UTF-8 (an initial BOM is kept).
inline std::optional<QString> validUtf8(const QByteArray& input) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless |
                                                     QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(input);
    if (decoder.hasError()) {
        return std::nullopt;
    }
    return text;
}

// An HTTP status from the first two bytes (big-endian), -1 to 599: the "no HTTP answer" case,
// 2xx and every error class are all a mutation away.
struct Answer {
    int status;
    QByteArray body;
};
inline std::optional<Answer> statusAndBody(const uint8_t* data, size_t size) {
    if (size < 2) {
        return std::nullopt;
    }
    const int raw = (data[0] << 8) | data[1];
    return Answer{raw % 601 - 1, bytes(data + 2, size - 2)};
}

} // namespace FuzzSupport
