#include "AgentApp.h"

#include "CrashTranslation.h"
#include "TrayIcon.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QTranslator>

#include <stdexcept>

namespace Vondra {

namespace {

constexpr int launchPoolSize = 10;
constexpr int defaultMessageTimeoutMs = 10000;
// A tray that starts late at log-on is looked for this often, this long.
constexpr int trayLookIntervalMs = 3000;
constexpr qint64 trayLookPeriodMs = 2 * 60 * 1000;
const QString languageKey = QStringLiteral("language");

} // namespace

// Destroyed in reverse order: the message box first, the translators last. The
// listener thread takes its place before the launch pool.
class AgentAppPrivate
{
public:
    std::unique_ptr<QTranslator> qtTranslator;
    std::unique_ptr<QTranslator> appTranslator;
    QThreadPool launchPool;
    TrayIcon trayIcon;
    QMessageBox messageBox;
    bool otherInstanceRuns = false;
    int messageTimeoutMs = defaultMessageTimeoutMs;
    QTimer trayLook;
    QElapsedTimer trayLookingSince;
};

AgentApp::AgentApp(int& argc, char** argv)
    : QApplication(argc, argv)
    , d(std::make_unique<AgentAppPrivate>())
{
    installCrashTranslation();
    d->launchPool.setMaxThreadCount(launchPoolSize);
    QSettings::setDefaultFormat(QSettings::IniFormat);
    // The agent lives in the tray: its only windows are notifications and the
    // About splash, and closing one of them must not end the resident agent.
    setQuitOnLastWindowClosed(false);
    d->trayLook.setInterval(trayLookIntervalMs);
    connect(&d->trayLook, &QTimer::timeout, this, &AgentApp::lookForTray);
}

AgentApp::~AgentApp()
{
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
    // Starts the local bridge once it exists.
}

void AgentApp::showTrayIcon()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        d->trayIcon.show();
        return;
    }
    qDebug("no system tray yet, looking again for two minutes.");
    d->trayLookingSince.start();
    d->trayLook.start();
}

void AgentApp::lookForTray()
{
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        d->trayLook.stop();
        qDebug("system tray found, showing the icon.");
        d->trayIcon.show();
    } else if (d->trayLookingSince.hasExpired(trayLookPeriodMs)) {
        d->trayLook.stop();
        qDebug("no system tray, running without the icon.");
    }
}

bool AgentApp::otherInstanceRuns() const
{
    return d->otherInstanceRuns;
}

void AgentApp::setOtherInstanceRuns(bool runs)
{
    d->otherInstanceRuns = runs;
}

void AgentApp::showMessage(const QString& title, const QString& text)
{
    if (QThread::currentThread() != thread()) {
        QMetaObject::invokeMethod(
            this, [this, title, text] { showMessage(title, text); }, Qt::QueuedConnection);
        return;
    }
    // Balloons need a visible icon: without one (launch mode, no tray) they
    // would vanish unseen.
    if (d->trayIcon.isVisible() && QSystemTrayIcon::supportsMessages())
        d->trayIcon.showMessage(title, text, QSystemTrayIcon::Warning, d->messageTimeoutMs);
    else
        showMessageBox(title, text);
}

void AgentApp::waitForMessageBox()
{
    processEvents(); // a box still to be shown is shown now
    if (!d->messageBox.isVisible())
        return;
    QEventLoop loop;
    connect(&d->messageBox, &QDialog::finished, &loop, &QEventLoop::quit);
    loop.exec();
}

void AgentApp::setMessageTimeout(int msecs)
{
    d->messageTimeoutMs = msecs;
}

void AgentApp::showMessageBox(const QString& title, const QString& text)
{
    QMessageBox& box = d->messageBox;
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
    d->trayIcon.retranslate();
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
