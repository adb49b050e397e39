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
// Every entry below root (hidden ones too) with its content, a link with its
// target, so two states of a directory compare byte for byte.
QMap<QString, QByteArray> treeOf(const QString& root);

} // namespace Vondra::Testing
