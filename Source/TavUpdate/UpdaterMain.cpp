#include "UpdaterMain.h"

#include "CommandLine.h"
#include "ProductConfig.h"
#include "ProgramFile.h"
#include "RunUpdate.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QProcess>

namespace Vondra {

void setApplicationIdentity()
{
    QCoreApplication::setOrganizationName(QLatin1String(Product::organizationName));
    QCoreApplication::setOrganizationDomain(QLatin1String(Product::organizationDomain));
    QCoreApplication::setApplicationName(QStringLiteral("TavUpdate"));
    QCoreApplication::setApplicationVersion(QLatin1String(Product::version));
}

bool restartTarget(const UpdateArguments& target, const QStringList& restartArguments)
{
    const QString program = ProgramFile::resolve(QDir(target.directory), ProgramFile::executableName(target.name));
    const bool started = QProcess::startDetached(program, restartArguments);
    if (!started)
        qDebug() << "cannot restart" << program;
    return started;
}

int updaterMain(const QStringList& processArguments)
{
    qDebug() << processArguments;
    const CommandLine commandLine = parseCommandLine(processArguments);
    if (!commandLine.arguments.isComplete()) {
        qDebug("argument is invalid.");
        return -1;
    }

    const int result = runUpdate(commandLine.arguments, commandLine.silent, commandLine.checkOnly);
    if (commandLine.restart && !commandLine.checkOnly)
        restartTarget(commandLine.arguments, commandLine.restartArguments);
    return result;
}

} // namespace Vondra
