#include "TestDisplay.h"

#include "ProcessRunner.h"

#include <QStandardPaths>
#include <QStringList>

namespace Vondra::Testing {

namespace {

constexpr int startTimeoutMs = 10000;

void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

int indentation(const QString& line)
{
    int spaces = 0;
    while (spaces < line.size() && line.at(spaces) == QLatin1Char(' '))
        ++spaces;
    return spaces;
}

} // namespace

TestDisplay::~TestDisplay()
{
    stop(m_tray);
    stop(m_server);
}

bool TestDisplay::start(QString* why)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty()) {
        *why = QStringLiteral("Xvfb is not installed (Debian: xvfb)");
        return false;
    }
    // The server picks a free display itself and writes its number once it is ready.
    m_server.start(xvfb,
        { QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"), QStringLiteral("0"),
            QStringLiteral("1024x768x24"), QStringLiteral("-dpi"), QStringLiteral("96"), QStringLiteral("-nolisten"),
            QStringLiteral("tcp") });
    while (!m_server.canReadLine() && m_server.waitForReadyRead(startTimeoutMs)) { }
    const QString number = QString::fromLatin1(m_server.readLine()).trimmed();
    if (number.isEmpty()) {
        *why = QStringLiteral("Xvfb did not start: ") + QString::fromLocal8Bit(m_server.readAllStandardError());
        return false;
    }
    m_display = QLatin1Char(':') + number;
    return true;
}

bool TestDisplay::startTrayHost(QString* why)
{
    const QString trayer = QStandardPaths::findExecutable(QStringLiteral("trayer"));
    if (trayer.isEmpty()) {
        *why = QStringLiteral("no system tray host: trayer is not installed (Debian: trayer)");
        return false;
    }
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    m_tray.setProcessEnvironment(environment);
    m_tray.start(trayer,
        { QStringLiteral("--edge"), QStringLiteral("top"), QStringLiteral("--align"), QStringLiteral("right"),
            QStringLiteral("--widthtype"), QStringLiteral("request"), QStringLiteral("--height"),
            QStringLiteral("32") });
    if (!m_tray.waitForStarted(startTimeoutMs) || m_tray.waitForFinished(500)) {
        *why = QStringLiteral("the tray host trayer did not start: ") + QString::fromLocal8Bit(m_tray.readAll());
        return false;
    }
    return true;
}

QProcessEnvironment TestDisplay::environment(const QString& home) const
{
    QProcessEnvironment environment = childEnvironment(home);
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    environment.remove(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"));
    environment.remove(QStringLiteral("XAUTHORITY"));
    return environment;
}

bool TestDisplay::trayHolds(const QString& windowName) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("DISPLAY"), m_display);
    const QStringList lines
        = runProcess(QStringLiteral("xwininfo"), { QStringLiteral("-root"), QStringLiteral("-tree") }, environment)
              .output()
              .split(QLatin1Char('\n'));
    const QString panel = QStringLiteral("\"panel\": (\"panel\" \"trayer\")");
    const QString wanted = QLatin1Char('"') + windowName + QLatin1Char('"');
    for (int i = 0; i < lines.size(); ++i) {
        if (!lines.at(i).contains(panel))
            continue;
        const int panelIndent = indentation(lines.at(i));
        for (int j = i + 1; j < lines.size() && indentation(lines.at(j)) > panelIndent; ++j) {
            if (lines.at(j).contains(wanted))
                return true;
        }
    }
    return false;
}

} // namespace Vondra::Testing
