#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Finding the Node.js runtime that runs the gate daemon. No shell is started and PATH is not
// read: a program started from the desktop does not have the PATH a terminal has.
namespace NodeRuntime {

using Version = QList<int>;

// A runtime (or a place to look for one) and where it comes from, for diagnostics: "bundled",
// "system", "nvm", "fnm", "volta", "asdf", "mise", "local", "snap" or "linuxbrew". Version
// managers name their folders after the version they hold; any other runtime's version is
// read by running it.
struct Candidate {
    QString path;
    QString origin;
    std::optional<Version> version;
    friend bool operator==(const Candidate&, const Candidate&) = default;
};

// Where a package ships its own runtime: "node" in the resource folder.
std::optional<QString> bundledNode(const QString& resourceFolder);

// The system runtimes, in order of preference.
QStringList systemCandidates();

// Every runtime worth trying after the bundled one, in order: the system candidates, then the
// version managers' and package tools' folders of this home. nvmDir is $NVM_DIR (empty when
// unset). Only the version folders of nvm, fnm and mise are listed, the highest version first;
// folders whose names are no version ("latest", "v20.x") are left out.
QList<Candidate> candidates(const QStringList& systemCandidates, const QString& home,
                            const QString& nvmDir);

// "v20.11.1" or "20.11.1" (as "node --version" says it, or a folder's name) as numbers.
std::optional<Version> versionOf(QString text);

// The "engines" range of the daemon's package.json ("node" under "engines"), beside the
// script's bin folder; empty when there is none.
QString engines(const QString& daemonScript);

// Whether the version is in the range: comparators (>=, >, <=, <, =, ^, ~ or none, before a
// version whose missing or x parts stand for any) joined by spaces, alternatives by "||". A
// range written otherwise rules out no version.
bool satisfies(const Version& version, const QString& range);

// A runtime's version, once known: nothing inside when it cannot be read. Nothing at all
// while it is being read.
using VersionReading = std::optional<std::optional<Version>>;

struct Choice {
    std::optional<Candidate> runtime;
    // Runtimes passed over, each with why: its version and the range it misses, or that it
    // did not say its version.
    QStringList skipped;
    // A runtime that comes before any chosen is still saying its version: nothing is chosen
    // until it has.
    bool reading = false;
};

// The first runtime, the bundled one before the candidates, that is an executable file, says
// its version when run (or names it in its folder) and whose version is in the range.
Choice choose(const QString& resourceFolder, const QList<Candidate>& candidates,
              const QString& engines,
              const std::function<VersionReading(const QString& node)>& readVersion);

// The "bin" folders of the Node.js versions installed through nvm and fnm, highest version
// first: where "npm -g" puts the tools it installs.
QStringList versionManagerBinFolders(const QString& home, const QString& nvmDir);

bool isExecutableFile(const QString& path);

} // namespace NodeRuntime
