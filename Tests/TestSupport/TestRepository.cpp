#include "TestRepository.h"

#include "BuiltPrograms.h"
#include "TestFiles.h"

#include <Updater/UpdateFinder.h>

#include <QDir>
#include <QUrl>

namespace Vondra::Testing {

TestRepository::TestRepository(const QString& extraServerConfig)
    : m_server(m_dir.filePath(QStringLiteral("repo")), extraServerConfig)
{
    m_valid = m_dir.isValid() && QDir().mkpath(root()) && makeKey(secretKey());
}

QString TestRepository::root() const
{
    return m_dir.filePath(QStringLiteral("repo"));
}

QString TestRepository::url() const
{
    return QUrl::fromLocalFile(root()).toString() + QLatin1Char('/');
}

QString TestRepository::secretKey() const
{
    return m_dir.filePath(QStringLiteral("signing.key"));
}

QString TestRepository::publicKey() const
{
    return secretKey() + QStringLiteral(".pub");
}

QString TestRepository::indexPath(const QString& target) const
{
    return QDir(root()).filePath(target + QStringLiteral("/index.json"));
}

bool TestRepository::start()
{
    if (!m_valid) {
        m_error = QStringLiteral("cannot make the repository: ") + m_error;
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

ProcessRun TestRepository::runTavrepo(const QStringList& arguments)
{
    return runProcess(builtProgram(QStringLiteral("tavrepo")), arguments, QProcessEnvironment::systemEnvironment(),
        QString(), 120000);
}

ProcessRun TestRepository::add(const QString& name, const QString& version, const QMap<QString, QByteArray>& files,
    const QString& platform, const std::optional<QString>& keyFile)
{
    const QString packageDir = m_dir.filePath(QStringLiteral("package%1").arg(++m_packages));
    if (!QDir().mkpath(packageDir))
        return ProcessRun();
    for (auto file = files.cbegin(); file != files.cend(); ++file) {
        if (!writeFile(QDir(packageDir).filePath(file.key()), file.value())) {
            ProcessRun failed;
            failed.standardError = "cannot write " + QFile::encodeName(QDir(packageDir).filePath(file.key()));
            return failed;
        }
    }
    return addDirectory(name, version, packageDir, platform, keyFile);
}

ProcessRun TestRepository::addDirectory(const QString& name, const QString& version, const QString& packageDir,
    const QString& platform, const std::optional<QString>& keyFile)
{
    QStringList arguments = QStringList { QStringLiteral("add"), root(), name, version, packageDir } + m_archiveOptions;
    if (!platform.isEmpty())
        arguments << QStringLiteral("--platform") << platform;
    const QString key = keyFile.value_or(secretKey());
    if (!key.isEmpty())
        arguments << QStringLiteral("--key") << key;
    return runTavrepo(arguments);
}

bool TestRepository::publish(
    const QString& name, const QString& version, const QMap<QString, QByteArray>& files, const QString& keyFile)
{
    return succeeded(add(name, version, files, platform(), keyFile), { name, version });
}

bool TestRepository::publishDirectory(
    const QString& name, const QString& version, const QString& packageDir, const QString& keyFile)
{
    return succeeded(addDirectory(name, version, packageDir, platform(), keyFile), { name, version });
}

bool TestRepository::makeKey(const QString& path)
{
    return succeeded(runTavrepo({ QStringLiteral("keygen"), path }), { QStringLiteral("keygen"), path });
}

bool TestRepository::resign(const QStringList& keyFiles, int expiresInDays)
{
    QStringList arguments { QStringLiteral("resign"), root() };
    for (const QString& keyFile : keyFiles)
        arguments << QStringLiteral("--key") << keyFile;
    if (expiresInDays > 0)
        arguments << QStringLiteral("--expires-in") << QString::number(expiresInDays);
    return succeeded(runTavrepo(arguments), arguments);
}

bool TestRepository::succeeded(const ProcessRun& run, const QStringList& what)
{
    if (run.succeeded())
        return true;
    m_error = QStringLiteral("tavrepo ") + what.join(QLatin1Char(' ')) + QStringLiteral(" failed: ") + run.describe();
    return false;
}

} // namespace Vondra::Testing
