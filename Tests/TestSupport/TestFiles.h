#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>

namespace Vondra::Testing {

// The whole file, or nothing when it cannot be read.
QByteArray readFile(const QString& path);
// Replaces the file with content, making its directory first; false when
// any of it could not be written.
bool writeFile(const QString& path, const QByteArray& content);
// Writes files (relative path -> content) into directory, making it too.
bool writeTree(const QString& directory, const QMap<QString, QByteArray>& files);
// Every entry below root (hidden ones too) with its content, so two states of
// a directory compare byte for byte: a directory's name ends in "/", a link's
// content is "-> " and its target.
QMap<QString, QByteArray> treeOf(const QString& root);

} // namespace Vondra::Testing
