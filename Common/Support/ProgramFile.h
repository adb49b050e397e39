#pragma once

#include <QString>

class QDir;

namespace Vondra {

// Names and finds program files the way the host system does: Windows adds
// ".exe" and matches file names without regard to case, other systems do not.
class ProgramFile
{
public:
    // "Writer" becomes "Writer.exe" on Windows and stays "Writer" elsewhere.
    static QString executableName(const QString& baseName);
    static QString executableSuffix();

    // Absolute path of fileName in dir: the exact name when it exists, else the
    // first entry whose name matches it case-insensitively, else the exact
    // (non-existing) path so callers can report what they looked for.
    static QString resolve(const QDir& dir, const QString& fileName);
};

} // namespace Vondra
