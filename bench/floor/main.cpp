// The floor for drawing the welcome window: the texts the helper's window shows at a first
// start (signed out, gate stopped, no agent found), in the same fonts, layout and width, with
// plain squares where it has icons, then a tray icon as the baseline has; no state, no gate,
// no network. What the helper costs above this is its own logic, not its window.
// Built a second time with KESTROVA_FLOOR_NETWORK: the same window with the network library
// loaded, and used as the helper's probes use it (a GET each second to
// KESTROVA_FLOOR_PROBE_URL, when set), the floor for a program that must speak HTTP.
#include "app/TextStyles.h"
#include "platform/PlaceWords.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#ifdef KESTROVA_FLOOR_NETWORK
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#endif

namespace {

constexpr int kWidth = 440;

QLabel* square(int size, QWidget* parent) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::darkGreen);
    auto* label = new QLabel(parent);
    label->setPixmap(pixmap);
    label->setFixedSize(size, size);
    return label;
}

QLabel* text(const QString& words, TextStyle style, QWidget* parent, Tone tone = Tone::Primary) {
    QLabel* label = TextStyles::label(words, style, parent, tone);
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QWidget* header(QWidget* parent, const PlaceWords& words) {
    auto* header = new QWidget(parent);
    auto* row = new QHBoxLayout(header);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);
    row->addWidget(square(30, header), 0, Qt::AlignTop);
    auto* column = new QVBoxLayout;
    column->setSpacing(3);
    QLabel* title = text(QStringLiteral("Kestrova is installed"), TextStyle::Title2, header);
    QFont bold = title->font();
    bold.setBold(true);
    title->setFont(bold);
    column->addWidget(title);
    column->addWidget(text(
        words.thisHelper + QStringLiteral(" connects your coding agents to Kestrova, so agent "
                                          "approvals show up on your phone - no terminal needed."),
        TextStyle::Callout, header, Tone::Secondary));
    row->addLayout(column, 1);
    return header;
}

QWidget* checklist(QWidget* parent, const PlaceWords& words) {
    auto* checklist = new QWidget(parent);
    auto* column = new QVBoxLayout(checklist);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(8);
    for (const QString& item :
         {QStringLiteral("Not signed in yet"), QStringLiteral("Helper gate stopped"),
          QStringLiteral("Sign in to enable pairing"),
          QStringLiteral("No coding agent detected on ") + words.thisComputer}) {
        auto* row = new QWidget(checklist);
        auto* line = new QHBoxLayout(row);
        line->setContentsMargins(0, 0, 0, 0);
        line->setSpacing(8);
        line->addWidget(square(16, row), 0, Qt::AlignTop);
        line->addWidget(text(item, TextStyle::Callout, row), 1);
        column->addWidget(row);
    }
    return checklist;
}

QWidget* links(QWidget* parent) {
    auto* links = new QWidget(parent);
    auto* row = new QHBoxLayout(links);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(10);
    row->addStretch();
    for (const QString& name : {QStringLiteral("Setup instructions"),
                                QStringLiteral("Refresh status"), QStringLiteral("History")}) {
        row->addWidget(new QPushButton(name, links));
    }
    row->addStretch();
    return links;
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
    const PlaceWords& words = PlaceWords::native();

    QWidget window;
    window.setWindowTitle(QStringLiteral("Floor"));
    auto* layout = new QVBoxLayout(&window);
    layout->setContentsMargins(22, 22, 22, 22);
    layout->setSpacing(14);
    layout->addWidget(header(&window, words));
    layout->addWidget(TextStyles::divider(&window));
    layout->addWidget(checklist(&window, words));
    layout->addWidget(TextStyles::divider(&window));
    auto* next = new QPushButton(QStringLiteral("Sign in with Google"), &window);
    next->setMinimumHeight(34);
    QFont bold = next->font();
    bold.setBold(true);
    next->setFont(bold);
    layout->addWidget(next);
    layout->addWidget(links(&window));
    layout->addWidget(TextStyles::divider(&window));
    layout->addWidget(text(QStringLiteral("Kestrova keeps running ") + words.runningPlace +
                               QStringLiteral(". Closing this window won't quit it - reopen it any "
                                              "time from ") +
                               words.theIcon + QStringLiteral(" > \"Show Kestrova\"."),
                           TextStyle::Footnote, &window, Tone::Secondary));
    window.setFixedWidth(kWidth);
    window.setFixedHeight(layout->totalHeightForWidth(kWidth));
    window.show();

    // The tray icon after the window, as the helper makes it.
    QPixmap pixmap(22, 22);
    pixmap.fill(Qt::darkCyan);
    QSystemTrayIcon tray{QIcon(pixmap)};
    QTimer::singleShot(0, &tray, &QSystemTrayIcon::show);
#ifdef KESTROVA_FLOOR_NETWORK
    QNetworkAccessManager network;
    QTimer probes;
    const QUrl probed(qEnvironmentVariable("KESTROVA_FLOOR_PROBE_URL"));
    QObject::connect(&probes, &QTimer::timeout, &network, [&network, &probed] {
        QNetworkReply* reply = network.get(QNetworkRequest(probed));
        QObject::connect(reply, &QNetworkReply::finished, reply, &QObject::deleteLater);
    });
    if (probed.isValid()) {
        probes.start(1000);
    }
#endif
    return QApplication::exec();
}
