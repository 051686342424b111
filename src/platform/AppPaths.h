#pragma once

#include <QString>
#include <QStringList>

// Where the program finds its folders on this platform.
namespace AppPaths {

QString homeFolder();

// The first of the user's data locations, else the home folder's ".local/share".
QString applicationSupportFolder(const QStringList& dataLocations, const QString& home);

// $XDG_STATE_HOME when it is an absolute path, else the home folder's ".local/state".
QString stateFolder(const QString& xdgStateHome, const QString& home);

// "../share/kestrova-helper" beside the executable's folder: the install layout, which the build
// tree mirrors. Empty when that folder does not exist.
QString resourceFolder(const QString& executableFolder);

// Joins a folder and one path component with a single "/".
QString join(const QString& folder, const QString& component);

} // namespace AppPaths
