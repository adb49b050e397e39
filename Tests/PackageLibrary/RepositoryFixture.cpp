#include "RepositoryFixture.h"

#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace Vondra::Testing {

ToolRun runTavrepo(const QStringList& arguments)
{
    QProcess process;
    process.start(QDir(qEnvironmentVariable("TAVLO_BIN_DIR")).filePath(QStringLiteral("tavrepo")), arguments);
    ToolRun run;
    if (!process.waitForFinished(120000)) {
        run.errors = process.errorString();
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.output = QString::fromLocal8Bit(process.readAllStandardOutput());
    run.errors = QString::fromLocal8Bit(process.readAllStandardError());
    return run;
}

bool writeTree(const QString& directory, const QMap<QString, QByteArray>& files)
{
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!writeFile(QDir(directory).filePath(it.key()), it.value()))
            return false;
    }
    return QDir().mkpath(directory);
}

RepositoryFixture::RepositoryFixture()
{
    m_keyMade = m_root.isValid() && runTavrepo({ QStringLiteral("keygen"), secretKey() }).exitCode == 0;
}

bool RepositoryFixture::isValid() const
{
    return m_keyMade;
}

QString RepositoryFixture::indexPath(const QString& target) const
{
    return QDir(root()).filePath(target + QStringLiteral("/index.json"));
}

ToolRun RepositoryFixture::add(const QString& name, const QString& version, const QMap<QString, QByteArray>& files,
    const QString& platform, const QString& key)
{
    const QString tree = m_root.filePath(QStringLiteral("package%1").arg(++m_packages));
    if (!writeTree(tree, files))
        return ToolRun();
    QStringList arguments { QStringLiteral("add"), root(), name, version, tree };
    if (!platform.isEmpty())
        arguments << QStringLiteral("--platform") << platform;
    const QString keyFile = key == QLatin1String("default") ? secretKey() : key;
    if (!keyFile.isEmpty())
        arguments << QStringLiteral("--key") << keyFile;
    return runTavrepo(arguments);
}

} // namespace Vondra::Testing
