#pragma once

#include "gate/NodeRuntime.h"
#include "gate/NodeVersions.h"

#include <QObject>
#include <QString>
#include <QStringList>

// The runtime the gate runs on, chosen among the bundled one and the candidates with the
// versions NodeVersions reads: the helper and its connect command choose it the same way.
class NodeChoice final : public QObject {
    Q_OBJECT
public:
    struct Places {
        QString resourceFolder;
        QStringList systemCandidates;
        QString homeFolder;
        QString nvmDir; // $NVM_DIR, empty when unset
    };
    explicit NodeChoice(Places places);

    // Chooses again for the daemon's range of versions; says whether another runtime (or none
    // any more) is chosen.
    bool choose(const QString& engines);
    const NodeRuntime::Choice& current() const { return m_choice; }

signals:
    // A version became known: the choice may change.
    void versionRead();

private:
    Places m_places;
    NodeVersions m_versions;
    NodeRuntime::Choice m_choice;
};
