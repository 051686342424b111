#pragma once

#include <QByteArray>
#include <QString>

#include <expected>

// Files and folders that hold secrets: readable by their owner only.
namespace PrivateFiles {

// Creates the folder (and its missing parents) with mode 0700; tightens an existing one.
bool makePrivateFolder(const QString& path);

// Replaces the file's contents in place; a new file is created with mode 0600 and an existing
// one is tightened to 0600 before the secret reaches it. The error is the system's description.
std::expected<void, QString> writePrivateFile(const QString& path, const QByteArray& contents);

void restrictToOwner(const QString& filePath);

// Creates the file, mode 0600, with the contents in full, unless one is there already: it is
// written under another name in the same folder and linked into place, so a second writer at
// the same time finds the first one's file, never half of one, and never replaces it.
std::expected<void, QString> createOnce(const QString& path, const QByteArray& contents);

} // namespace PrivateFiles
