#include "LaunchApplication.h"

#include "AgentApp.h"
#include "GuiThread.h"
#include "ProgramFile.h"
#include "UpdaterProcesses.h"
#include "Upgrade.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QUrlQuery>

#include <algorithm>

namespace Vondra {

namespace {

constexpr int maxToolNameLength = 64;

LaunchTarget parsePathForm(const QString& text, int question)
{
    LaunchTarget target;
    target.tool = text.left(question).remove(QLatin1Char('/'));
    const QString rest
        = text.mid(question + 1).replace(QStringLiteral("%2B"), QStringLiteral("+"), Qt::CaseInsensitive);
    target.arguments = rest.split(QLatin1Char('+'), Qt::KeepEmptyParts);
    return target;
}

LaunchTarget parseQueryForm(const QString& text)
{
    const QUrlQuery query(QString(text).replace(QStringLiteral("%40"), QStringLiteral("@"), Qt::CaseInsensitive));
    LaunchTarget target;
    target.tool = query.queryItemValue(QStringLiteral("tool"));
    for (const auto& [key, value] : query.queryItems()) {
        if (value == target.tool || key == QLatin1String("?callback"))
            continue;
        target.arguments << key + QLatin1Char('=') + value;
    }
    return target;
}

bool hasControlCharacter(const QString& text)
{
    return std::any_of(text.cbegin(), text.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}

// Every Qt program, and most others, takes an argument that begins with "-"
// as an option ("-platformpluginpath" loads plugins from where it says); a
// page may pass its tool data, never options.
bool hasOption(const QStringList& arguments)
{
    return std::any_of(arguments.cbegin(), arguments.cend(),
        [](const QString& argument) { return argument.startsWith(QLatin1Char('-')); });
}

// Tool "Writer2" runs "Writer".
QString programBaseName(const QString& tool)
{
    static const QRegularExpression trailingDigits(QStringLiteral("[0-9]+$"));
    return QString(tool).remove(trailingDigits);
}

void startTool(const QString& program, const QStringList& arguments, const QString& directory)
{
    runOnGuiThread([] { QGuiApplication::setOverrideCursor(Qt::WaitCursor); });
    QProcess::startDetached(program, arguments, directory);
    runOnGuiThread([] { QGuiApplication::restoreOverrideCursor(); });
}

} // namespace

LaunchApplication::LaunchApplication(const QString& request, UpgradeContext upgradeContext)
    : m_request(request)
    , m_upgradeContext(std::move(upgradeContext))
{
}

LaunchTarget LaunchApplication::parseTarget(const QString& text)
{
    const int question = text.indexOf(QLatin1Char('?'));
    return question >= 1 ? parsePathForm(text, question) : parseQueryForm(text);
}

bool LaunchApplication::namesTool(const QString& tool, const QString& agentDirName, const QString& agentName)
{
    static const QRegularExpression pathCharacters(QStringLiteral("[/\\\\:]"));
    if (tool.isEmpty() || tool.size() > maxToolNameLength || tool == QLatin1String(".") || tool == QLatin1String(".."))
        return false;
    if (tool.contains(pathCharacters) || hasControlCharacter(tool))
        return false;
    return tool.compare(agentDirName, Qt::CaseInsensitive) != 0 && tool.compare(agentName, Qt::CaseInsensitive) != 0;
}

void LaunchApplication::run()
{
    const LaunchTarget target = parseTarget(QString(m_request).remove(QStringLiteral("tavlo://")));
    const QString agentDirName = QFileInfo(QCoreApplication::applicationDirPath()).fileName();
    if (!namesTool(target.tool, agentDirName, QCoreApplication::applicationName())) {
        qDebug("target is empty.");
        return;
    }
    if (hasOption(target.arguments)) {
        qDebug() << "launch refused, an argument is an option:" << m_request;
        return;
    }

    Upgrade upgrade(m_upgradeContext);
    const QString exeName = programBaseName(target.tool);
    const QString toolDir = upgrade.upgradeTools(target.tool, exeName);
    // The tool's update may have been cut short; its journal puts it back at
    // the next run.
    if (UpdaterProcesses::ending()) {
        qDebug("agent ending, launch given up.");
        return;
    }
    // Without its directory the tool is not looked for elsewhere: the current
    // directory may hold anything, a download among it.
    const QString program
        = toolDir.isEmpty() ? QString() : ProgramFile::resolve(QDir(toolDir), ProgramFile::executableName(exeName));
    if (QFileInfo(program).isFile()) {
        startTool(program, target.arguments, toolDir);
        QSettings().setValue(QStringLiteral("tools/%1").arg(target.tool), toolDir);
    } else {
        qDebug("failed to find the appropriate application.");
        AgentApp::instance()->showMessage(tr("Error"), tr("Did not find the tools to open the document."));
    }
    upgrade.removeUnusedToolDir();
    upgrade.upgradeSelf();
}

} // namespace Vondra
