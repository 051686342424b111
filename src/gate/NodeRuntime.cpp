#include "gate/NodeRuntime.h"

#include "platform/AppPaths.h"
#include "platform/RegularFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <utility>

using namespace Qt::StringLiterals;

namespace NodeRuntime {

namespace {

// parent/<version>/<below> for each subfolder of parent named as a version, highest first.
// One listing of one folder: cheap enough for the main thread.
QList<Candidate> versionFolders(const QString& parent, const QString& below,
                                const QString& origin) {
    // Sorted on plain versions: a comparator reaching into the candidates' optional versions
    // trips GCC 12's -Wmaybe-uninitialized at -O2.
    QList<std::pair<Version, QString>> found;
    const QStringList names = QDir(parent).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        if (auto number = versionOf(name)) {
            found.append({std::move(*number), name});
        }
    }
    std::ranges::stable_sort(found, std::ranges::greater{}, &std::pair<Version, QString>::first);
    QList<Candidate> versions;
    for (const auto& [number, name] : found) {
        versions.append({AppPaths::join(AppPaths::join(parent, name), below), origin, number});
    }
    return versions;
}

// The version with three parts, the missing ones 0.
Version padded(Version version) {
    version.resize(3, 0);
    return version;
}

// The lowest version above every one that starts with these parts: 18.2 -> 18.3.0.
Version above(Version parts) {
    ++parts.last();
    return padded(parts);
}

// One comparator as the versions it allows, from low up to (not including) high; nothing when
// it is written otherwise.
struct Interval {
    Version low;
    std::optional<Version> high;
};

std::optional<Interval> intervalOf(QString comparator) {
    static constexpr std::array<QStringView, 7> operators{u">=", u"<=", u">", u"<",
                                                          u"=",  u"^",  u"~"};
    QStringView op;
    for (const QStringView candidate : operators) {
        if (comparator.startsWith(candidate)) {
            op = candidate;
            comparator.remove(0, candidate.size());
            break;
        }
    }
    // Parts from an x (or *) on stand for any.
    QStringList given = comparator.split(u'.');
    while (!given.isEmpty() &&
           QStringList{u"x"_s, u"X"_s, u"*"_s, QString()}.contains(given.last())) {
        given.removeLast();
    }
    const auto parts = given.isEmpty() ? std::optional(Version{}) : versionOf(given.join(u'.'));
    if (!parts || parts->size() > 3) {
        return std::nullopt;
    }
    const Version zero{0, 0, 0};
    if (parts->isEmpty()) {
        return Interval{zero, std::nullopt};
    }
    if (op == u">=") {
        return Interval{padded(*parts), std::nullopt};
    }
    if (op == u">") {
        return Interval{above(*parts), std::nullopt};
    }
    if (op == u"<") {
        return Interval{zero, padded(*parts)};
    }
    if (op == u"<=") {
        return Interval{zero, above(*parts)};
    }
    // ^ keeps the first part that is not 0, ~ the first two parts; = (or none) all given.
    qsizetype kept = parts->size();
    if (op == u"^") {
        kept = parts->at(0) != 0 ? 1 : 2;
    } else if (op == u"~") {
        kept = 2;
    }
    return Interval{padded(*parts), above(parts->first(std::min(kept, parts->size())))};
}

bool lower(const Version& a, const Version& b) {
    return std::lexicographical_compare(a.cbegin(), a.cend(), b.cbegin(), b.cend());
}

QString joined(const Version& version) {
    QStringList parts;
    for (const int part : version) {
        parts.append(QString::number(part));
    }
    return parts.join(u'.');
}

QString nvmRoot(const QString& home, const QString& nvmDir) {
    return QDir::isAbsolutePath(nvmDir) ? nvmDir : AppPaths::join(home, QStringLiteral(".nvm"));
}

QList<Candidate> nvmVersions(const QString& home, const QString& nvmDir) {
    return versionFolders(AppPaths::join(nvmRoot(home, nvmDir), QStringLiteral("versions/node")),
                          QStringLiteral("bin/node"), QStringLiteral("nvm"));
}

QList<Candidate> fnmVersions(const QString& home) {
    return versionFolders(AppPaths::join(home, QStringLiteral(".local/share/fnm/node-versions")),
                          QStringLiteral("installation/bin/node"), QStringLiteral("fnm"));
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

QStringList versionManagerBinFolders(const QString& home, const QString& nvmDir) {
    QStringList folders;
    for (const Candidate& version : nvmVersions(home, nvmDir) + fnmVersions(home)) {
        folders.append(QFileInfo(version.path).path());
    }
    return folders;
}

QList<Candidate> candidates(const QStringList& systemCandidates, const QString& home,
                            const QString& nvmDir) {
    QList<Candidate> found;
    const auto add = [&found](const QStringList& folders, const QString& origin) {
        for (const QString& folder : folders) {
            found.append({AppPaths::join(folder, QStringLiteral("node")), origin, std::nullopt});
        }
    };
    const auto inHome = [&home](const char* relative) {
        return AppPaths::join(home, QString::fromLatin1(relative));
    };
    for (const QString& system : systemCandidates) {
        found.append({system, QStringLiteral("system"), std::nullopt});
    }
    found += nvmVersions(home, nvmDir);
    found += fnmVersions(home);
    add({inHome(".volta/bin")}, QStringLiteral("volta"));
    add({inHome(".asdf/shims")}, QStringLiteral("asdf"));
    found += versionFolders(inHome(".local/share/mise/installs/node"), QStringLiteral("bin/node"),
                            QStringLiteral("mise"));
    add({inHome(".local/bin")}, QStringLiteral("local"));
    add({QStringLiteral("/snap/bin")}, QStringLiteral("snap"));
    add({QStringLiteral("/home/linuxbrew/.linuxbrew/bin"), inHome(".linuxbrew/bin")},
        QStringLiteral("linuxbrew"));
    return found;
}

std::optional<Version> versionOf(QString text) {
    text = text.trimmed();
    if (text.startsWith(u'v')) {
        text.remove(0, 1);
    }
    // At most nine digits a part, so no part overflows.
    Version parts;
    for (const QString& part : text.split(u'.')) {
        const bool digitsOnly =
            std::all_of(part.cbegin(), part.cend(), [](QChar c) { return c >= u'0' && c <= u'9'; });
        if (part.isEmpty() || part.size() > 9 || !digitsOnly) {
            return std::nullopt;
        }
        parts.append(part.toInt());
    }
    return parts;
}

QString engines(const QString& daemonScript) {
    const QString manifest = QFileInfo(daemonScript).dir().filePath(u"../package.json"_s);
    const auto contents = RegularFile::read(manifest, qint64{64} * 1024);
    const QJsonValue range =
        QJsonDocument::fromJson(contents.value_or(QByteArray())).object()[u"engines"][u"node"];
    return range.toString();
}

bool satisfies(const Version& version, const QString& range) {
    const Version given = padded(version);
    for (const QString& alternative : range.split(u"||"_s)) {
        bool allowed = true;
        for (const QString& comparator : alternative.split(u' ', Qt::SkipEmptyParts)) {
            const auto interval = intervalOf(comparator);
            if (!interval) {
                return true;
            }
            allowed = allowed && !lower(given, interval->low) &&
                      (!interval->high || lower(given, *interval->high));
        }
        if (allowed) {
            return true;
        }
    }
    return false;
}

Choice choose(const QString& resourceFolder, const QList<Candidate>& candidates,
              const QString& engines,
              const std::function<VersionReading(const QString& node)>& readVersion) {
    QList<Candidate> inOrder = candidates;
    if (auto bundled = bundledNode(resourceFolder)) {
        inOrder.prepend({*bundled, QStringLiteral("bundled"), std::nullopt});
    }
    Choice choice;
    for (const Candidate& candidate : inOrder) {
        if (!isExecutableFile(candidate.path)) {
            continue;
        }
        const VersionReading version =
            candidate.version ? VersionReading(candidate.version) : readVersion(candidate.path);
        if (!version) {
            // The first runtime of the order that may do is still saying its version.
            choice.reading = true;
            return choice;
        }
        if (!*version) {
            // It does not run here (another architecture, a noexec mount, a broken install):
            // a gate launched on it would end at once.
            choice.skipped.append(QStringLiteral("%1 %2: it did not say its version")
                                      .arg(candidate.origin, candidate.path));
            continue;
        }
        if (!satisfies(**version, engines)) {
            choice.skipped.append(
                QStringLiteral("%1 %2 v%3: the gate needs %4")
                    .arg(candidate.origin, candidate.path, joined(**version), engines));
            continue;
        }
        choice.runtime = candidate;
        return choice;
    }
    return choice;
}

} // namespace NodeRuntime
