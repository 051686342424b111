#include "app/GateSnapshot.h"

#include "gate/GateController.h"

GateSnapshot GateSnapshot::of(const GateController& gate) {
    return {.helperRunning = gate.helperRunning(),
            .existingGateDetected = gate.existingGateDetected(),
            .ownPortForeign = gate.ownPortForeign(),
            .existingPortForeign = gate.existingPortForeign(),
            .lastChecked = gate.lastChecked(),
            .accountUserId = gate.accountUserId(),
            .personalRoom = gate.personalRoom(),
            .signingIn = gate.signingIn(),
            .lastError = gate.lastError(),
            .launchAtLogin = gate.launchAtLogin(),
            .useExistingGate = gate.useExistingGate(),
            .detectedAgents = gate.detectedAgents(),
            .registeredAgents = gate.registeredAgents(),
            .registrationError = gate.registrationError(),
            .signedIn = gate.signedIn(),
            .pairingKey = gate.pairingKey(),
            .daemonScript = gate.daemonScript(),
            .daemonBundled = gate.daemonBundled(),
            .bundledNode = gate.bundledNode(),
            .nodePath = gate.nodePath(),
            .nodeOrigin = gate.nodeOrigin(),
            .gateLogPath = gate.gateLogPath(),
            .configPath = gate.configPath()};
}
