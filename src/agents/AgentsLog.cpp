#include "agents/AgentsLog.h"

Q_LOGGING_CATEGORY(lcAgents, "kestrova.agents", QtWarningMsg)
