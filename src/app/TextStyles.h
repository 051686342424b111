#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QFrame;
class QLabel;
class QWidget;

// The named text styles the windows use, mapped once to fonts relative to the system font.
enum class TextStyle {
    Title2,
    Title3,
    Headline,
    Body,
    Callout,
    Subheadline,
    Footnote,
    Caption,
    Caption2
};

namespace TextStyles {

QFont font(TextStyle style);

// Secondary text: the palette's placeholder colour, so dark themes keep their contrast.
QColor secondaryColor(const QWidget& widget);

// A label in a style; secondary labels take the secondary colour.
QLabel* label(const QString& text, TextStyle style, QWidget* parent, bool secondary = false);
void setColor(QLabel& label, const QColor& color);

// The thin horizontal line between the sections of a window.
QFrame* divider(QWidget* parent);

} // namespace TextStyles
