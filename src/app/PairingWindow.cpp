#include "app/PairingWindow.h"

#include "app/Symbols.h"
#include "app/TextStyles.h"
#include "gate/GateController.h"
#include "pairing/QrCode.h"

#include <QLabel>
#include <QPainter>
#include <QShortcut>
#include <QVBoxLayout>

namespace {
constexpr QSize kWindowSize{360, 420};
constexpr int kPadding = 28;
constexpr int kSpacing = 18;
constexpr int kFallbackSpacing = 8;
constexpr int kCardSide = 264;
constexpr int kCardPadding = 12;
constexpr qreal kCardRadius = 14;
constexpr int kSymbolSize = 40;

} // namespace

// White whatever the theme, so scanners see dark modules on light with a quiet zone around.
class PairingWindow::Card final : public QWidget {
public:
    explicit Card(QWidget* parent)
        : QWidget(parent) {
        setFixedSize(kCardSide, kCardSide);
        setAccessibleName(QStringLiteral("Pairing QR code"));
    }

    void setImage(QImage image) {
        m_image = std::move(image);
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Qt::white);
        painter.drawRoundedRect(rect(), kCardRadius, kCardRadius);

        // Nearest neighbour keeps module edges sharp; smoothing would grey them.
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        const QRect area =
            rect().adjusted(kCardPadding, kCardPadding, -kCardPadding, -kCardPadding);
        QRect target(QPoint(), m_image.size().scaled(area.size(), Qt::KeepAspectRatio));
        target.moveCenter(area.center());
        painter.drawImage(target, m_image);
    }

private:
    QImage m_image;
};

PairingWindow::PairingWindow(GateController& gate, const WebSite& site, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_gate(gate) {
    setWindowTitle(QStringLiteral("Kestrova Pairing"));
    setFixedSize(kWindowSize);

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
    std::optional<QImage> image;
    if (const auto key = m_gate.pairingKey()) {
        image = QrCode::render(key->toUtf8());
    }
    if (image) {
        m_card->setImage(std::move(*image));
    }
    m_card->setVisible(image.has_value());
    m_fallback->setVisible(!image.has_value());
}
