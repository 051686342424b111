#include "app/DiagnosticsWindow.h"

#include "app/DiagnosticsContent.h"
#include "app/GateSnapshot.h"
#include "app/Symbols.h"
#include "app/TextStyles.h"
#include "gate/GateController.h"

#include <QFontDatabase>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QTextDocument>
#include <QTextEdit>
#include <QVBoxLayout>

#include <cmath>
#include <memory>

namespace {
constexpr int windowWidth = 460;

QFont monospaceFont() {
    QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    const QFont caption = TextStyles::font(TextStyle::Caption2);
    if (caption.pointSizeF() > 0) {
        font.setPointSizeF(caption.pointSizeF());
    } else {
        font.setPixelSize(caption.pixelSize());
    }
    return font;
}

// A value that keeps to one line while it fits and wraps only when the row is too narrow;
// QLabel's own hint wraps short texts early to get a squarer shape.
class ValueLabel final : public QLabel {
public:
    explicit ValueLabel(QWidget* parent)
        : QLabel(parent) {
        setTextFormat(Qt::PlainText);
        setWordWrap(true);
        setAlignment(Qt::AlignRight | Qt::AlignTop);
    }

    QSize sizeHint() const override {
        const QMargins margins = contentsMargins();
        // Measured the way the label lays its text out, so the text fits on one line at this
        // width; a rounded advance falls short by a fraction of a pixel and wraps the last word.
        const QRect unwrapped = fontMetrics().boundingRect(
            QRect(0, 0, QWIDGETSIZE_MAX, QWIDGETSIZE_MAX), Qt::TextWordWrap, text());
        const int width = unwrapped.width() + margins.left() + margins.right() + 2 * margin();
        return {width, heightForWidth(width)};
    }
};
} // namespace

// A path shown as selectable text. A label wraps only between words and paths have few
// spaces; this breaks at a word boundary or, failing that, anywhere, and copies the path as it
// is, with nothing inserted to make it wrap.
class DiagnosticsWindow::PathText final : public QTextEdit {
public:
    explicit PathText(const QString& name, QWidget* parent)
        : QTextEdit(parent) {
        setAccessibleName(name);
        setReadOnly(true);
        setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        setTabChangesFocus(true);
        setFrameShape(QFrame::NoFrame);
        setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        setLineWrapMode(QTextEdit::WidgetWidth);
        setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        document()->setDocumentMargin(0);
        // It reads as text on the window, not as a field.
        viewport()->setAutoFillBackground(false);
        setFont(monospaceFont());
        QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
        policy.setHeightForWidth(true);
        setSizePolicy(policy);
    }

    void setPath(const QString& path) {
        // Setting the same text again would drop the user's selection.
        if (toPlainText() != path) {
            setPlainText(path);
            updateGeometry();
        }
    }

    bool hasHeightForWidth() const override { return true; }

    int heightForWidth(int width) const override {
        const std::unique_ptr<QTextDocument> measured(document()->clone());
        measured->setTextWidth(width - 2 * frameWidth());
        return static_cast<int>(std::ceil(measured->size().height())) + 2 * frameWidth();
    }

    QSize sizeHint() const override {
        const int width = QTextEdit::sizeHint().width();
        return {width, heightForWidth(width)};
    }

    QSize minimumSizeHint() const override { return {0, fontMetrics().height()}; }
};

DiagnosticsWindow::DiagnosticsWindow(GateController& gate, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_gate(gate) {
    setWindowTitle(QStringLiteral("Kestrova Diagnostics"));
    setWindowIcon(Symbols::appIcon());
    setFixedWidth(windowWidth);

    auto* layout = new QVBoxLayout(this);
    layout->setSpacing(8);
    layout->setContentsMargins(16, 16, 16, 16);

    layout->addWidget(TextStyles::label(QStringLiteral("Kestrova Helper diagnostics"),
                                        TextStyle::Headline, this));
    layout->addWidget(TextStyles::divider(this));

    // The rows never change in number or order, only in value, so they are made once.
    QFont valueFont = TextStyles::font(TextStyle::Callout);
    valueFont.setWeight(QFont::Medium);
    const DiagnosticsContent initial = DiagnosticsContent::of(GateSnapshot::of(gate));
    for (const auto& [labelText, valueText] : initial.rows) {
        auto* row = new QHBoxLayout;
        row->setSpacing(12);
        auto* label = TextStyles::label(labelText, TextStyle::Callout, this, Tone::Secondary);
        auto* value = new ValueLabel(this);
        value->setFont(valueFont);
        // Same font size on both sides: aligning the tops aligns the first baselines.
        row->addWidget(label, 0, Qt::AlignTop);
        row->addStretch(1);
        row->addWidget(value, 0, Qt::AlignTop);
        layout->addLayout(row);
        m_rows.append(Row{label, value});
        if (labelText == u"Node.js") {
            m_devBuildNote = TextStyles::label(
                QStringLiteral("Dev build: uses system Node. Public build bundles its own."),
                TextStyle::Caption2, this, Tone::Secondary);
            m_devBuildNote->setWordWrap(true);
            layout->addWidget(m_devBuildNote);
        }
    }

    // Paths are long: each gets its own lines under its name, where it can wrap.
    auto* paths = new QVBoxLayout;
    paths->setSpacing(2);
    const auto addPath = [this, paths](const QString& name) {
        paths->addWidget(TextStyles::label(name, TextStyle::Caption, this, Tone::Secondary));
        auto* path = new PathText(name, this);
        paths->addWidget(path);
        return path;
    };
    m_daemonPath = addPath(QStringLiteral("Daemon path"));
    m_configPath = addPath(QStringLiteral("Config path"));
    m_gateLogPath = addPath(QStringLiteral("Gate log"));
    layout->addLayout(paths);

    m_errorDivider = TextStyles::divider(this);
    layout->addWidget(m_errorDivider);
    m_lastError = TextStyles::label(QString(), TextStyle::Caption, this, Tone::Error);
    m_lastError->setWordWrap(true);
    layout->addWidget(m_lastError);

    layout->addWidget(TextStyles::divider(this));
    auto* actions = new QHBoxLayout;
    auto* refresh = new QPushButton(QStringLiteral("Refresh"), this);
    refresh->setAccessibleName(QStringLiteral("Refresh"));
    connect(refresh, &QPushButton::clicked, this, [this] { m_gate.refresh(); });
    actions->addWidget(refresh);
    actions->addStretch(1);
    layout->addLayout(actions);
    // Opening on the button, not on a path, shows no text cursor in a read-only path.
    refresh->setFocus();

    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    connect(&gate, &GateController::changed, this, &DiagnosticsWindow::showState);
    showState();
}

DiagnosticsWindow::~DiagnosticsWindow() = default;

void DiagnosticsWindow::showState() {
    const DiagnosticsContent content = DiagnosticsContent::of(GateSnapshot::of(m_gate));
    for (qsizetype i = 0; i < m_rows.size(); ++i) {
        const auto& [label, value] = content.rows.at(i);
        m_rows[i].label->setText(label);
        m_rows[i].value->setText(value);
        m_rows[i].value->setAccessibleName(label + QStringLiteral(": ") + value);
    }
    m_devBuildNote->setVisible(content.showDevBuildNote);
    m_daemonPath->setPath(content.daemonPath);
    m_configPath->setPath(content.configPath);
    m_gateLogPath->setPath(content.gateLogPath);
    m_errorDivider->setVisible(content.lastErrorLine.has_value());
    m_lastError->setVisible(content.lastErrorLine.has_value());
    m_lastError->setText(content.lastErrorLine.value_or(QString()));
    fitHeight();
}

void DiagnosticsWindow::fitHeight() {
    // The layout's own minimum measures wrapped text at its narrowest and comes out too tall;
    // the height the content needs at the fixed width is the one to keep.
    setFixedHeight(layout()->totalHeightForWidth(windowWidth));
}

void DiagnosticsWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        TextStyles::restyle(*this);
    }
}

void DiagnosticsWindow::showEvent(QShowEvent* event) {
    // Opened again, it checks again, like the welcome window: the gates may have come or gone
    // while it was hidden, and what is not published (paths) is read anew.
    showState();
    m_gate.refresh();
    QWidget::showEvent(event);
}

bool DiagnosticsWindow::event(QEvent* event) {
    // Polishing, font and style changes resize the texts after showState() has run.
    if (event->type() == QEvent::LayoutRequest) {
        fitHeight();
    }
    return QWidget::event(event);
}
