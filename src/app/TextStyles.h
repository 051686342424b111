#pragma once

#include <QColor>
#include <QFont>
#include <QPalette>
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

// What a text says, which picks its colour: the palette's text colour, or one derived from the
// palette that still reads at WCAG AA (4.5:1) on the window's background.
enum class Tone { Primary, Secondary, Warning, Error, Success };

namespace TextStyles {

QFont font(TextStyle style);

// The colour of a tone on a palette's window background, light or dark.
QColor color(Tone tone, const QPalette& palette);

// The WCAG contrast ratio of two opaque colours, from 1 to 21.
double contrast(const QColor& a, const QColor& b);

// A label in a style and a tone; restyle() gives it its tone's colour again.
QLabel* label(const QString& text, TextStyle style, QWidget* parent, Tone tone = Tone::Primary);
void setTone(QLabel& label, Tone tone);

// Gives every toned label under the window its colour from the window's current palette: call
// it when the palette or the theme changes.
void restyle(QWidget& window);

// The thin horizontal line between the sections of a window.
QFrame* divider(QWidget* parent);

} // namespace TextStyles
