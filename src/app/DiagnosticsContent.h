#pragma once

#include "app/GateSnapshot.h"

#include <QList>
#include <QString>

#include <optional>
#include <utility>

// What the diagnostics window shows for one state of the controller.
struct DiagnosticsContent {
    QList<std::pair<QString, QString>> rows; // label, value — in order
    bool showDevBuildNote = false;
    QString daemonPath;
    QString configPath;
    QString gateLogPath;
    std::optional<QString> lastErrorLine; // only when there is an error to show
    static DiagnosticsContent of(const GateSnapshot& state);
};
