#include "account/AccountLog.h"

Q_LOGGING_CATEGORY(lcAccount, "kestrova.account", QtWarningMsg)
