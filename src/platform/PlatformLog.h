#pragma once

#include <QLoggingCategory>

// Debug and info are off unless QT_LOGGING_RULES turns them on. Never log a key, token or code.
Q_DECLARE_LOGGING_CATEGORY(lcPlatform)
