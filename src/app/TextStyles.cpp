#include "app/TextStyles.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPalette>

#include <algorithm>
#include <cmath>

namespace TextStyles {

namespace {
struct Metrics {
    qreal scale;
    bool bold;
};

// Relative to the system font, so the user's font size and scale are respected.
Metrics metrics(TextStyle style) {
    switch (style) {
    case TextStyle::Title2:
        return {1.35, false};
    case TextStyle::Title3:
        return {1.2, false};
    case TextStyle::Headline:
        return {1.0, true};
    case TextStyle::Body:
        return {1.0, false};
    case TextStyle::Callout:
        return {0.95, false};
    case TextStyle::Subheadline:
        return {0.92, false};
    case TextStyle::Footnote:
    case TextStyle::Caption:
        return {0.88, false};
    case TextStyle::Caption2:
        return {0.84, false};
    }
    Q_UNREACHABLE();
}
} // namespace

QFont font(TextStyle style) {
    QFont font = QApplication::font();
    const Metrics m = metrics(style);
    if (font.pointSizeF() > 0) {
        font.setPointSizeF(font.pointSizeF() * m.scale);
    } else {
        font.setPixelSize(qRound(font.pixelSize() * m.scale));
    }
    font.setBold(m.bold);
    return font;
}

namespace {

constexpr double kReadable = 4.5;
// Where a label keeps its tone, so restyle() finds it.
constexpr const char* kToneProperty = "kestrovaTone";

double linear(double channel) {
    return channel <= 0.04045 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double luminance(const QColor& color) {
    return 0.2126 * linear(color.redF()) + 0.7152 * linear(color.greenF()) +
           0.0722 * linear(color.blueF());
}

QColor mix(const QColor& from, const QColor& to, double amount) {
    return QColor::fromRgbF(float(from.redF() + (to.redF() - from.redF()) * amount),
                            float(from.greenF() + (to.greenF() - from.greenF()) * amount),
                            float(from.blueF() + (to.blueF() - from.blueF()) * amount));
}

// A theme's text colour may be translucent; what the eye sees is it laid over the background.
QColor opaqueOver(const QColor& color, const QColor& background) {
    return mix(background, QColor::fromRgbF(color.redF(), color.greenF(), color.blueF()),
               color.alphaF());
}

// The colour itself when it reads; otherwise moved towards the text colour until it does. The
// 8-bit rounding of a mix can lose a little contrast, hence the margin.
QColor readable(const QColor& color, const QColor& background, const QColor& text) {
    for (int step = 0; step <= 20; ++step) {
        const QColor candidate = mix(color, text, step / 20.0);
        if (contrast(candidate, background) >= kReadable + 0.05) {
            return candidate;
        }
    }
    return text;
}

} // namespace

double contrast(const QColor& a, const QColor& b) {
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor color(Tone tone, const QPalette& palette) {
    const QColor background = palette.color(QPalette::Window);
    const QColor text = opaqueOver(palette.color(QPalette::WindowText), background);
    const bool dark = luminance(background) < luminance(text);
    switch (tone) {
    case Tone::Primary:
        return text;
    case Tone::Secondary:
        // Grey between text and background, as dark as reading needs and no darker.
        return readable(mix(text, background, 0.5), background, text);
    case Tone::Warning:
        return readable(dark ? QColor(0xFF, 0xB0, 0x4A) : QColor(0xA8, 0x52, 0x00), background,
                        text);
    case Tone::Error:
        return readable(dark ? QColor(0xFF, 0x7B, 0x72) : QColor(0xC0, 0x25, 0x25), background,
                        text);
    case Tone::Success:
        return readable(dark ? QColor(0x4C, 0xC7, 0x64) : QColor(0x1E, 0x7B, 0x34), background,
                        text);
    }
    Q_UNREACHABLE();
}

void setTone(QLabel& label, Tone tone) {
    label.setProperty(kToneProperty, static_cast<int>(tone));
    QPalette palette = label.palette();
    palette.setColor(QPalette::WindowText, color(tone, label.window()->palette()));
    label.setPalette(palette);
}

void restyle(QWidget& window) {
    for (QLabel* label : window.findChildren<QLabel*>()) {
        const QVariant tone = label->property(kToneProperty);
        if (tone.isValid()) {
            setTone(*label, static_cast<Tone>(tone.toInt()));
        }
    }
}

QLabel* label(const QString& text, TextStyle style, QWidget* parent, Tone tone) {
    auto* label = new QLabel(text, parent);
    label->setFont(font(style));
    label->setTextFormat(Qt::PlainText);
    if (tone != Tone::Primary) {
        setTone(*label, tone);
    }
    return label;
}

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

} // namespace TextStyles
