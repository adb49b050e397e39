#include "TestRepository.h"

#include "ProgramFile.h"

#include <Updater/UpdateFinder.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProcess>

namespace Vondra::Testing {

TestRepository::TestRepository(const QString& extraServerConfig)
    : m_server(m_root.path(), extraServerConfig)
{
}

bool TestRepository::start()
{
    if (!m_root.isValid() || !m_staging.isValid()) {
        m_error = QStringLiteral("cannot create temporary directories");
        return false;
    }
    if (!m_server.start()) {
        m_error = m_server.errorString();
        return false;
    }
    return true;
}

QString TestRepository::baseUrl() const
{
    return m_server.baseUrl().toString();
}

QString TestRepository::platform()
{
    return Updater::UpdateFinder::defaultPlatformIdentifier() + QStringLiteral("32");
}

QString TestRepository::binDirectory()
{
    // CTest names it; run by hand, the tests sit in tests/ beside bin/.
    const QString fromCTest = qEnvironmentVariable("TAVLO_BIN_DIR");
    return fromCTest.isEmpty() ? QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("../bin"))
                               : fromCTest;
}

bool TestRepository::installPrograms(const QString& directory, const QStringList& programs, QString* error)
{
    const QDir bin(binDirectory());
    QStringList files = bin.entryList(
        { QStringLiteral("libTavUpdater.so*"), QStringLiteral("TavUpdater*.dll") }, QDir::Files | QDir::System);
    for (const QString& program : programs)
        files.append(ProgramFile::executableName(program));
    for (const QString& file : files) {
        if (!QFile::copy(bin.filePath(file), QDir(directory).filePath(file))) {
            *error = QStringLiteral("cannot copy ") + bin.filePath(file) + QStringLiteral(" into ") + directory;
            return false;
        }
    }
    return true;
}

bool TestRepository::publish(
    const QString& name, const QString& version, const QMap<QString, QByteArray>& files, const QString& keyFile)
{
    const QString packageDir = QDir(m_staging.path()).filePath(name + QLatin1Char('-') + version);
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        const QString path = QDir(packageDir).filePath(file.key());
        if (!QDir().mkpath(QFileInfo(path).path()) || !writeFile(path, file.value())) {
            m_error = QStringLiteral("cannot write ") + path;
            return false;
        }
    }

    return publishDirectory(name, version, packageDir, keyFile);
}

bool TestRepository::publishDirectory(
    const QString& name, const QString& version, const QString& packageDir, const QString& keyFile)
{
    QStringList arguments { QStringLiteral("add"), m_root.path(), name, version, packageDir,
        QStringLiteral("--platform"), platform() };
    if (!keyFile.isEmpty())
        arguments << QStringLiteral("--key") << keyFile;
    return runTavrepo(arguments);
}

bool TestRepository::makeKey(const QString& path)
{
    return runTavrepo({ QStringLiteral("keygen"), path });
}

bool TestRepository::resign(const QStringList& keyFiles, int expiresInDays)
{
    QStringList arguments { QStringLiteral("resign"), m_root.path() };
    for (const QString& keyFile : keyFiles)
        arguments << QStringLiteral("--key") << keyFile;
    if (expiresInDays > 0)
        arguments << QStringLiteral("--expires-in") << QString::number(expiresInDays);
    return runTavrepo(arguments);
}

bool TestRepository::runTavrepo(const QStringList& arguments)
{
    QProcess tavrepo;
    tavrepo.setProcessChannelMode(QProcess::MergedChannels);
    tavrepo.start(QDir(binDirectory()).filePath(QStringLiteral("tavrepo")), arguments);
    if (!tavrepo.waitForFinished(60000) || tavrepo.exitStatus() != QProcess::NormalExit || tavrepo.exitCode() != 0) {
        m_error = QStringLiteral("tavrepo ") + arguments.join(QLatin1Char(' ')) + QStringLiteral(" failed: ")
            + QString::fromLocal8Bit(tavrepo.readAll()) + tavrepo.errorString();
        return false;
    }
    return true;
}

} // namespace Vondra::Testing
