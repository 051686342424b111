#pragma once

#include <QString>
#include <QStringList>

#include <optional>

// Finding the Node.js runtime that runs the gate daemon.
namespace NodeRuntime {

// Where a package ships its own runtime: "node" in the resource folder.
std::optional<QString> bundledNode(const QString& resourceFolder);

// The system runtimes, in order of preference.
QStringList systemCandidates();

// The bundled runtime, else the first system candidate that is an executable file.
std::optional<QString> resolve(const QString& resourceFolder, const QStringList& candidates);

bool isExecutableFile(const QString& path);

} // namespace NodeRuntime
