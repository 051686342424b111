#pragma once

#include "app/GateSnapshot.h"
#include "platform/PlaceWords.h"

#include <QList>
#include <QString>

#include <optional>

// What the welcome window shows for one state: the setup checklist, a warning, and the one
// step the user should take next.
struct WelcomeContent {
    struct Row {
        bool done;
        QString text;

        bool operator==(const Row&) const = default;
    };
    enum class NextStep { SignIn, StartHelper, AllSet };
    // A button that writes the gate into a detected agent's own settings.
    struct ConnectOffer {
        QString agent;
        QString label;
        bool enabled;

        bool operator==(const ConnectOffer&) const = default;
    };

    QString header;                    // below the title; names the platform, like the closing note
    QList<Row> rows;                   // 4 to 6 rows, in order
    QList<ConnectOffer> connectOffers; // under the agents row, for agents not yet connected
    std::optional<QString> warning;
    NextStep nextStep = NextStep::SignIn;
    QString nextStepText; // the button's label, or the "all set" text
    bool nextStepEnabled = false;
    QString closingNote;

    // Without a tray there is no icon to point at: the window's own buttons stand in for it.
    static WelcomeContent of(const GateSnapshot& state,
                             const PlaceWords& words = PlaceWords::native(), bool trayShown = true);
};
