#include "gate/NodeRuntime.h"

#include "platform/AppPaths.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

namespace NodeRuntime {

namespace {

// "v20.11.1" or "20.11.1" as numbers; nothing for any other name. At most nine digits a part,
// so no part overflows.
std::optional<QList<int>> versionOf(QString name) {
    if (name.startsWith(u'v')) {
        name.remove(0, 1);
    }
    QList<int> parts;
    for (const QString& part : name.split(u'.')) {
        const bool digitsOnly =
            std::all_of(part.cbegin(), part.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (part.isEmpty() || part.size() > 9 || !digitsOnly) {
            return std::nullopt;
        }
        parts.append(part.toInt());
    }
    return parts;
}

// parent/<version>/<below> for each subfolder of parent named as a version, highest first.
// One listing of one folder: cheap enough for the main thread.
QStringList versionFolders(const QString& parent, const QString& below) {
    struct Version {
        QList<int> number;
        QString folder;
    };
    QList<Version> versions;
    const QStringList names = QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (auto number = versionOf(name)) {
            versions.append(
                {std::move(*number), AppPaths::join(AppPaths::join(parent, name), below)});
        }
    }
    std::stable_sort(versions.begin(), versions.end(), [](const Version& a, const Version& b) {
        return std::lexicographical_compare(b.number.cbegin(), b.number.cend(), a.number.cbegin(),
                                            a.number.cend());
    });
    QStringList folders;
    for (const Version& version : versions) {
        folders.append(version.folder);
    }
    return folders;
}

QString nvmRoot(const QString& home, const QString& nvmDir) {
    return QDir::isAbsolutePath(nvmDir) ? nvmDir : AppPaths::join(home, QStringLiteral(".nvm"));
}

QStringList nvmBinFolders(const QString& home, const QString& nvmDir) {
    return versionFolders(AppPaths::join(nvmRoot(home, nvmDir), QStringLiteral("versions/node")),
                          QStringLiteral("bin"));
}

QStringList fnmBinFolders(const QString& home) {
    return versionFolders(AppPaths::join(home, QStringLiteral(".local/share/fnm/node-versions")),
                          QStringLiteral("installation/bin"));
}

} // namespace

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

QStringList versionManagerBinFolders(const QString& home, const QString& nvmDir) {
    return nvmBinFolders(home, nvmDir) + fnmBinFolders(home);
}

QList<Candidate> candidates(const QStringList& systemCandidates, const QString& home,
                            const QString& nvmDir) {
    QList<Candidate> found;
    const auto add = [&found](const QStringList& folders, const QString& origin) {
        for (const QString& folder : folders) {
            found.append({AppPaths::join(folder, QStringLiteral("node")), origin});
        }
    };
    const auto inHome = [&home](const char* relative) {
        return AppPaths::join(home, QString::fromLatin1(relative));
    };
    for (const QString& system : systemCandidates) {
        found.append({system, QStringLiteral("system")});
    }
    add(nvmBinFolders(home, nvmDir), QStringLiteral("nvm"));
    add(fnmBinFolders(home), QStringLiteral("fnm"));
    add({inHome(".volta/bin")}, QStringLiteral("volta"));
    add({inHome(".asdf/shims")}, QStringLiteral("asdf"));
    add(versionFolders(inHome(".local/share/mise/installs/node"), QStringLiteral("bin")),
        QStringLiteral("mise"));
    add({inHome(".local/bin")}, QStringLiteral("local"));
    add({QStringLiteral("/snap/bin")}, QStringLiteral("snap"));
    add({QStringLiteral("/home/linuxbrew/.linuxbrew/bin"), inHome(".linuxbrew/bin")},
        QStringLiteral("linuxbrew"));
    return found;
}

std::optional<Candidate> find(const QString& resourceFolder, const QList<Candidate>& candidates) {
    if (auto bundled = bundledNode(resourceFolder)) {
        return Candidate{*bundled, QStringLiteral("bundled")};
    }
    for (const Candidate& candidate : candidates) {
        if (isExecutableFile(candidate.path)) {
            return candidate;
        }
    }
    return std::nullopt;
}

} // namespace NodeRuntime
