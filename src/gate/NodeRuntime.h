#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// Finding the Node.js runtime that runs the gate daemon. No shell is started and PATH is not
// read: a program started from the desktop does not have the PATH a terminal has.
namespace NodeRuntime {

// A runtime (or a place to look for one) and where it comes from, for diagnostics: "bundled",
// "system", "nvm", "fnm", "volta", "asdf", "mise", "local", "snap" or "linuxbrew".
struct Candidate {
    QString path;
    QString origin;
    friend bool operator==(const Candidate&, const Candidate&) = default;
};

// Where a package ships its own runtime: "node" in the resource folder.
std::optional<QString> bundledNode(const QString& resourceFolder);

// The system runtimes, in order of preference.
QStringList systemCandidates();

// The bundled runtime, else the first system candidate that is an executable file.
std::optional<QString> resolve(const QString& resourceFolder, const QStringList& candidates);

// Every runtime worth trying after the bundled one, in order: the system candidates, then the
// version managers' and package tools' folders of this home. nvmDir is $NVM_DIR (empty when
// unset). Only the version folders of nvm, fnm and mise are listed, the highest version first;
// folders whose names are no version ("latest", "v20.x") are left out.
QList<Candidate> candidates(const QStringList& systemCandidates, const QString& home,
                            const QString& nvmDir);

// The bundled runtime, else the first candidate that is an executable file.
std::optional<Candidate> find(const QString& resourceFolder, const QList<Candidate>& candidates);

// The "bin" folders of the Node.js versions installed through nvm and fnm, highest version
// first: where "npm -g" puts the tools it installs.
QStringList versionManagerBinFolders(const QString& home, const QString& nvmDir);

bool isExecutableFile(const QString& path);

} // namespace NodeRuntime
