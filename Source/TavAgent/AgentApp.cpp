#include "AgentApp.h"

#include "BridgeSettings.h"
#include "CrashTranslation.h"
#include "GuiThread.h"
#include "InstalledTools.h"
#include "JsonpAnswer.h"
#include "LaunchApplication.h"
#include "LaunchQueue.h"
#include "ListenThread.h"
#include "TrayIcon.h"
#include "UpdaterProcesses.h"
#include "Upgrade.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QRunnable>
#include <QSettings>
#include <QThread>
#include <QTimer>
#include <QTranslator>

#include <stdexcept>

namespace Vondra {

namespace {

constexpr int defaultMessageTimeoutMs = 10000;
// A tray that starts late at log-on is looked for this often, this long.
constexpr int trayLookIntervalMs = 3000;
constexpr qint64 trayLookPeriodMs = 2 * 60 * 1000;
const QString languageKey = QStringLiteral("language");
// Launches that other agents run ask for the agent's own update check.
constexpr qint64 ownUpdateCheckIntervalMs = 5 * 60 * 1000;

} // namespace

// Destroyed in reverse order: the message box first, the translators last.
class AgentAppPrivate
{
public:
    std::unique_ptr<QTranslator> qtTranslator;
    std::unique_ptr<QTranslator> appTranslator;
    ListenThread listener;
    LaunchQueue launches;
    // Both made on first use: building widgets (and with them the font
    // configuration) costs a launch-mode agent, which shows no icon and rarely
    // a box, a good part of its start-up.
    std::unique_ptr<TrayIcon> trayIcon;
    std::unique_ptr<QMessageBox> messageBox;
    // The tools sit beside the program's directory, which is fixed for the
    // life of the process: asked once rather than on every tavinfo request.
    QString toolsDirectory;
    UpgradeContext upgradeContext;
    QElapsedTimer sinceOwnUpdateCheck;
    int messageTimeoutMs = defaultMessageTimeoutMs;
    QTimer trayLook;
    QElapsedTimer trayLookingSince;
};

AgentApp::AgentApp(int& argc, char** argv)
    : QApplication(argc, argv)
    , d(std::make_unique<AgentAppPrivate>())
{
    installCrashTranslation();
    QDir tools(applicationDirPath());
    tools.cdUp();
    d->toolsDirectory = tools.path();
    QSettings::setDefaultFormat(QSettings::IniFormat);
    // The agent lives in the tray: its only windows are notifications and the
    // About splash, and closing one of them must not end the resident agent.
    setQuitOnLastWindowClosed(false);
    d->trayLook.setInterval(trayLookIntervalMs);
    connect(&d->trayLook, &QTimer::timeout, this, &AgentApp::lookForTray);
}

AgentApp::~AgentApp()
{
    // The running launches finish while the object they call still stands.
    endLaunches();
    if (d->appTranslator)
        removeTranslator(d->appTranslator.get());
    if (d->qtTranslator)
        removeTranslator(d->qtTranslator.get());
    d.reset();
}

AgentApp* AgentApp::instance()
{
    if (auto* app = qobject_cast<AgentApp*>(QCoreApplication::instance()))
        return app;
    throw std::runtime_error(tr("Application instance not created yet").toStdString());
}

void AgentApp::listen()
{
    showTrayIcon();
    d->listener.setSettings(BridgeSettings::read(QSettings()));
    d->listener.start(QThread::InheritPriority);
}

void AgentApp::stopListening()
{
    d->listener.stop();
    d->listener.wait();
}

// Not traced here: a page can send thousands of these a second, and each
// launch traces what becomes of it.
std::string AgentApp::lanchTools(const QString& args)
{
    d->launches.enqueue(createLaunch(args));
    return JsonpAnswer::shareStatus();
}

std::string AgentApp::tavInfo(const QString& args)
{
    Q_UNUSED(args)
    return JsonpAnswer::packageInfo(InstalledTools::list(d->toolsDirectory));
}

QRunnable* AgentApp::createLaunch(const QString& request) const
{
    return new LaunchApplication(request, d->upgradeContext);
}

void AgentApp::checkOwnUpdate()
{
    if (d->sinceOwnUpdateCheck.isValid() && !d->sinceOwnUpdateCheck.hasExpired(ownUpdateCheckIntervalMs)) {
        qDebug("agent update checked lately, not again yet.");
        return;
    }
    d->sinceOwnUpdateCheck.start();
    QRunnable* check = QRunnable::create([context = d->upgradeContext] { Upgrade(context).upgradeSelf(); });
    d->launches.enqueue(check);
}

// No page may queue a launch while the waiting ones are dropped.
void AgentApp::endLaunches()
{
    UpdaterProcesses::endAll();
    stopListening();
    d->launches.dropWaiting();
    d->launches.waitForRunning();
}

void AgentApp::showTrayIcon()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        showTray();
        return;
    }
    qDebug("no system tray yet, looking again for two minutes.");
    d->trayLookingSince.start();
    d->trayLook.start();
}

void AgentApp::showTray()
{
    if (!d->trayIcon)
        d->trayIcon = std::make_unique<TrayIcon>(d->upgradeContext);
    d->trayIcon->show();
}

void AgentApp::lookForTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        d->trayLook.stop();
        qDebug("system tray found, showing the icon.");
        showTray();
    } else if (d->trayLookingSince.hasExpired(trayLookPeriodMs)) {
        d->trayLook.stop();
        qDebug("no system tray, running without the icon.");
    }
}

void AgentApp::setUpgradeContext(const UpgradeContext& context)
{
    d->upgradeContext = context;
}

void AgentApp::showMessage(const QString& title, const QString& text)
{
    runOnGuiThread([this, title, text] {
        // Balloons need a visible icon: without one (launch mode, no tray)
        // they would vanish unseen.
        if (d->trayIcon && d->trayIcon->isVisible() && QSystemTrayIcon::supportsMessages())
            d->trayIcon->showMessage(title, text, QSystemTrayIcon::Warning, d->messageTimeoutMs);
        else
            showMessageBox(title, text);
    });
}

void AgentApp::waitForMessageBox()
{
    processEvents(); // a box still to be shown is shown now
    if (!d->messageBox || !d->messageBox->isVisible())
        return;
    QEventLoop loop;
    connect(d->messageBox.get(), &QDialog::finished, &loop, &QEventLoop::quit);
    loop.exec();
}

void AgentApp::setMessageTimeout(int msecs)
{
    d->messageTimeoutMs = msecs;
}

void AgentApp::showMessageBox(const QString& title, const QString& text)
{
    if (!d->messageBox)
        d->messageBox = std::make_unique<QMessageBox>();
    QMessageBox& box = *d->messageBox;
    box.setText(text);
    box.setWindowTitle(title);
    box.setIcon(QMessageBox::Warning);
    QTimer::singleShot(0, &box, &QMessageBox::show);
    processEvents();
    QTimer::singleShot(d->messageTimeoutMs, &box, &QMessageBox::accept);
}

QString AgentApp::buildDate()
{
    return parseBuildDate(QStringLiteral(__DATE__)).toString(QStringLiteral("yyMMdd"));
}

QDate AgentApp::parseBuildDate(const QString& compilerDate)
{
    static const QStringList months { "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov",
        "Dec" };
    const int month = months.indexOf(compilerDate.left(3)) + 1;
    if (month == 0)
        return QDate::currentDate();
    const int day = compilerDate.mid(4, 2).trimmed().toInt();
    const int year = compilerDate.mid(7, 4).toInt();
    const QDate date(year, month, day);
    return date.isValid() ? date : QDate::currentDate();
}

void AgentApp::loadTranslator(const QString& locale)
{
    const QString name = locale.isEmpty() ? QLocale::system().name() : locale;
    const QFileInfo program(applicationFilePath());
    QDir directory = program.absoluteDir();
    directory.cd(QStringLiteral("languages"));

    if (d->qtTranslator)
        removeTranslator(d->qtTranslator.get());
    if (d->appTranslator)
        removeTranslator(d->appTranslator.get());

    d->qtTranslator = std::make_unique<QTranslator>();
    if (d->qtTranslator->load(QStringLiteral("qt_") + name, directory.absolutePath()))
        installTranslator(d->qtTranslator.get());
    else
        d->qtTranslator.reset();

    d->appTranslator = std::make_unique<QTranslator>();
    if (d->appTranslator->load(program.completeBaseName() + QLatin1Char('_') + name, directory.absolutePath())) {
        installTranslator(d->appTranslator.get());
    } else {
        d->appTranslator.reset();
        if (!locale.isEmpty())
            qDebug() << "Cannot load translator for" << locale;
    }
    // The menu was made before any translator came.
    if (d->trayIcon)
        d->trayIcon->retranslate();
}

void AgentApp::setLanguage(const QString& locale, bool save)
{
    QString name = locale;
    QSettings settings;
    if (name.isEmpty()) {
        if (save)
            settings.remove(languageKey);
        else
            name = settings.value(languageKey).toString();
    } else {
        if (QLocale(name).language() == QLocale::C) {
            qDebug() << "Invalid locale name" << name;
            return;
        }
        if (save)
            settings.setValue(languageKey, name);
    }
    if (name.isEmpty())
        name = QLocale::system().name();
    QLocale::setDefault(QLocale(name));
    loadTranslator(name.toLower());
}

} // namespace Vondra
