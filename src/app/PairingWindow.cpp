#include "app/PairingWindow.h"

#include "app/Symbols.h"
#include "app/TextStyles.h"
#include "gate/GateController.h"
#include "pairing/QrCode.h"

#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace {
// The size the window has at least; it grows taller when a large font wraps the texts more.
constexpr QSize kWindowSize{360, 420};
constexpr int kPadding = 28;
constexpr int kSpacing = 18;
constexpr int kFallbackSpacing = 8;
constexpr int kCardSide = 264;
constexpr qreal kCardRadius = 14;
constexpr int kSymbolSize = 40;

} // namespace

// White whatever the theme, so scanners see dark modules on light. The code is drawn in
// device pixels: a whole number of them per module at any scale, with a quiet zone of
// QrCode::kQuietModules inside the card, so no module is smeared or cut by the corners.
class PairingWindow::Card final : public QWidget {
public:
    explicit Card(QWidget* parent)
        : QWidget(parent) {
        setFixedSize(kCardSide, kCardSide);
        setAccessibleName(QStringLiteral("Pairing QR code"));
    }

    void setCode(std::optional<QrCode> code) {
        m_code = std::move(code);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawRoundedRect(rect(), kCardRadius, kCardRadius);
        if (!m_code) {
            return;
        }
        // The scale the painter really draws at: the screen's ratio, or a grab's own.
        const qreal ratio = painter.deviceTransform().m11();
        const int side = static_cast<int>(std::floor(kCardSide * ratio));
        const QImage image = m_code->image(m_code->modulePixelsToFit(side), QrCode::kQuietModules);
        const int offset = (side - image.width()) / 2;
        // In device pixels, unscaled, so no smoothing can grey or widen a module.
        painter.scale(1 / ratio, 1 / ratio);
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(QPoint(offset, offset), image);
    }

private:
    std::optional<QrCode> m_code;
};

PairingWindow::PairingWindow(GateController& gate, const WebSite& site, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_gate(gate) {
    setWindowTitle(QStringLiteral("Kestrova Pairing"));
    setWindowIcon(Symbols::appIcon());
    setFixedWidth(kWindowSize.width());

    auto* title =
        TextStyles::label(QStringLiteral("Pair a phone with Kestrova"), TextStyle::Title3, this);
    QFont titleFont = title->font();
    titleFont.setBold(true);
    title->setFont(titleFont);
    title->setAlignment(Qt::AlignCenter);
    title->setWordWrap(true);

    auto* instruction = TextStyles::label(
        QStringLiteral("On Kestrova on your phone, tap Scan QR code and point it at this."),
        TextStyle::Subheadline, this, Tone::Secondary);
    instruction->setAlignment(Qt::AlignCenter);
    instruction->setWordWrap(true);

    m_card = new Card(this);

    m_fallback = new QWidget(this);
    m_symbol = new QLabel(m_fallback);
    m_symbol->setAlignment(Qt::AlignCenter);
    drawSymbol();
    auto* hint =
        TextStyles::label(QStringLiteral("No local gate configured yet. Install it from ") +
                              site.hostName() + QStringLiteral(", then reopen this window."),
                          TextStyle::Subheadline, m_fallback, Tone::Secondary);
    hint->setAlignment(Qt::AlignCenter);
    hint->setWordWrap(true);
    auto* fallbackLayout = new QVBoxLayout(m_fallback);
    fallbackLayout->setContentsMargins(0, 0, 0, 0);
    fallbackLayout->setSpacing(kFallbackSpacing);
    fallbackLayout->addWidget(m_symbol);
    fallbackLayout->addWidget(hint);

    // Stretches are empty items, so the spacing only falls between the visible children.
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding, kPadding, kPadding);
    layout->setSpacing(kSpacing);
    layout->addStretch();
    layout->addWidget(title);
    layout->addWidget(instruction);
    layout->addWidget(m_card, 0, Qt::AlignHCenter);
    layout->addWidget(m_fallback);
    layout->addStretch();

    auto* close = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(close, &QShortcut::activated, this, &QWidget::close);
    connect(&m_gate, &GateController::changed, this, &PairingWindow::refresh);
    refresh();
}

void PairingWindow::drawSymbol() {
    m_symbol->setPixmap(Symbols::pixmap(QStringLiteral("qrcode"),
                                        TextStyles::color(Tone::Secondary, palette()), kSymbolSize,
                                        devicePixelRatioF()));
}

void PairingWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // Light and dark themes arrive as a new palette.
    if (event->type() == QEvent::PaletteChange) {
        drawSymbol();
        TextStyles::restyle(*this);
    }
}

void PairingWindow::showEvent(QShowEvent* event) {
    refresh();
    QWidget::showEvent(event);
}

void PairingWindow::refresh() {
    std::optional<QrCode> code;
    if (const auto key = m_gate.pairingKey()) {
        code = QrCode::encode(key->toUtf8());
    }
    const bool shown = code.has_value();
    m_card->setCode(std::move(code));
    m_card->setVisible(shown);
    m_fallback->setVisible(!shown);
    fitHeight();
}

void PairingWindow::fitHeight() {
    // Never shorter than its usual size, taller when the texts need it.
    setFixedHeight(
        std::max(kWindowSize.height(), layout()->totalHeightForWidth(kWindowSize.width())));
}

bool PairingWindow::event(QEvent* event) {
    // A font or style change, or the first polish, lays the wrapped texts out anew.
    if (event->type() == QEvent::LayoutRequest) {
        fitHeight();
    }
    return QWidget::event(event);
}
