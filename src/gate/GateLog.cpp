#include "gate/GateLog.h"

Q_LOGGING_CATEGORY(lcGate, "kestrova.gate", QtWarningMsg)
