#pragma once

#include <QByteArray>
#include <QString>

namespace Vondra::Testing {

// The whole file, or nothing when it cannot be read.
QByteArray readFile(const QString& path);
// Replaces the file with content, making its directory first; false when
// any of it could not be written.
bool writeFile(const QString& path, const QByteArray& content);

} // namespace Vondra::Testing
