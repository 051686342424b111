#pragma once

#include <QString>

// Where the program finds its folders on this platform.
namespace AppPaths {

QString homeFolder();

// The user's folders as UserDirs finds them (the hook and the gate too), for Qt; empty when
// there is no $HOME to find them in.
QString dataHome();
QString stateHome();

// "../share/kestrova-helper" beside the executable's folder: the install layout, which the build
// tree mirrors. Empty when that folder does not exist.
QString resourceFolder(const QString& executableFolder);

// Joins a folder and one path component with a single "/".
QString join(const QString& folder, const QString& component);

} // namespace AppPaths
