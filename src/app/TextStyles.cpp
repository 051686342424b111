#include "app/TextStyles.h"

#include <QApplication>
#include <QFrame>
#include <QLabel>
#include <QPalette>

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

QColor secondaryColor(const QWidget& widget) {
    return widget.palette().color(QPalette::PlaceholderText);
}

void setColor(QLabel& label, const QColor& color) {
    QPalette palette = label.palette();
    palette.setColor(QPalette::WindowText, color);
    label.setPalette(palette);
}

QLabel* label(const QString& text, TextStyle style, QWidget* parent, bool secondary) {
    auto* label = new QLabel(text, parent);
    label->setFont(font(style));
    label->setTextFormat(Qt::PlainText);
    if (secondary) {
        setColor(*label, secondaryColor(*label));
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
