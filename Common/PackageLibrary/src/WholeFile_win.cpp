#include "WholeFile.h"

#include <QFile>

namespace Updater {

WholeFile::Result WholeFile::read(const QString& fileName, qint64 maximumSize, QByteArray* bytes, QString* error)
{
    bytes->clear();
    // Unbuffered: the whole file is read at once, a read buffer would only
    // copy it again.
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        if (!file.exists())
            return Missing;
        *error = file.errorString();
        return CannotOpen;
    }
    if (file.size() > maximumSize)
        return TooLarge;
    *bytes = file.readAll();
    if (file.error() == QFileDevice::NoError)
        return Read;
    bytes->clear();
    *error = file.errorString();
    return CannotRead;
}

} // namespace Updater
