#include "app/GateSnapshot.h"

#include "gate/GateController.h"

GateSnapshot GateSnapshot::of(const GateController& gate) {
    GateSnapshot snapshot;
    static_cast<PublishedFields&>(snapshot) = gate.published();
    snapshot.signedIn = gate.signedIn();
    snapshot.pairingKey = gate.pairingKey();
    snapshot.daemonScript = gate.daemonScript();
    snapshot.daemonBundled = gate.daemonBundled();
    snapshot.bundledNode = gate.bundledNode();
    snapshot.nodePath = gate.nodePath();
    snapshot.nodeOrigin = gate.nodeOrigin();
    snapshot.gateLogPath = gate.gateLogPath();
    snapshot.configPath = gate.configPath();
    return snapshot;
}
