#include "gate/NodeRuntime.h"

#include "platform/AppPaths.h"

#include <QFileInfo>

namespace NodeRuntime {

bool isExecutableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isExecutable();
}

std::optional<QString> bundledNode(const QString& resourceFolder) {
    if (resourceFolder.isEmpty()) {
        return std::nullopt;
    }
    const QString path = AppPaths::join(resourceFolder, QStringLiteral("node"));
    return isExecutableFile(path) ? std::optional(path) : std::nullopt;
}

QStringList systemCandidates() {
    return {QStringLiteral("/opt/homebrew/bin/node"), QStringLiteral("/usr/local/bin/node"),
            QStringLiteral("/usr/bin/node")};
}

std::optional<QString> resolve(const QString& resourceFolder, const QStringList& candidates) {
    if (auto bundled = bundledNode(resourceFolder)) {
        return bundled;
    }
    for (const QString& candidate : candidates) {
        if (isExecutableFile(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace NodeRuntime
