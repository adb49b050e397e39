// Drives the agent's tray icon, splash screen and notifications on a real X
// display from inside the agent's process, reading what the user would see
// through the widgets. Usage: trayprobe <mode> [artefact directory]; results go
// to standard output, one line each.

#include "AgentApp.h"
#include "AgentMain.h"
#include "TavSplashScreen.h"
#include "TrayIcon.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QThread>
#include <QTimer>
#include <QTimerEvent>
#include <QUrl>

#include <cstdio>
#include <functional>

using Vondra::AgentApp;

namespace {

constexpr int trayTimeoutMs = 15000;

void print(const QString& text)
{
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

bool waitUntil(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QThread::msleep(10);
    }
    return true;
}

void pause(int ms)
{
    waitUntil([] { return false; }, ms);
}

QWidget* shownTopLevel(const char* className)
{
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->inherits(className) && widget->isVisible())
            return widget;
    }
    return nullptr;
}

// Qt's X11 tray icon is a small window of its own, shown once it sits in a tray.
bool iconShown()
{
    return shownTopLevel("QSystemTrayIconSys") != nullptr;
}

template <typename Widget> QList<Widget*> topLevels()
{
    QList<Widget*> found;
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* match = qobject_cast<Widget*>(widget))
            found << match;
    }
    return found;
}

QMenu* trayMenu()
{
    return topLevels<QMenu>().value(0);
}

QString menuText(QMenu* menu)
{
    QStringList entries;
    for (QAction* action : menu->actions())
        entries << (action->isSeparator() ? QStringLiteral("-") : action->text());
    return entries.join(QLatin1Char('|'));
}

// Title and text as the window shows them, or "none".
QString shownTexts(const char* className)
{
    QWidget* window = shownTopLevel(className);
    if (!window)
        return QStringLiteral("none");
    if (auto* box = qobject_cast<QMessageBox*>(window))
        return box->windowTitle() + QStringLiteral(" / ") + box->text();
    QStringList texts;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (!label->text().isEmpty())
            texts << label->text();
    }
    return texts.join(QStringLiteral(" / "));
}

void saveScreen(const QRect& area, const QString& path)
{
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen->grabWindow(0, area.x(), area.y(), area.width(), area.height()).save(path))
        print(QStringLiteral("cannot save ") + path);
}

void setIdentity()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Tavlo"));
    QCoreApplication::setApplicationName(QStringLiteral("TavAgent"));
    QCoreApplication::setApplicationVersion(QStringLiteral("7.0"));
}

// Stands in for the browser: records the addresses the agent opens.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QString last = QStringLiteral("nothing");

public slots:
    void open(const QUrl& url) { last = url.toString(); }
};

void checkShareLink(QAction* gotoShare, UrlCatcher& catcher)
{
    gotoShare->trigger();
    print(QStringLiteral("opened ") + catcher.last);
    QSettings().setValue(QStringLiteral("share_link"), QStringLiteral("tavlo-test://files.example/my docs?x=1"));
    gotoShare->trigger();
    print(QStringLiteral("opened ") + catcher.last);
}

// The resident agent's tray: menu, About twice, Goto Share, a balloon, Exit.
void driveTray(AgentApp& app, const QString& artefacts, UrlCatcher& catcher)
{
    app.showTrayIcon();
    print(waitUntil(iconShown, trayTimeoutMs) ? QStringLiteral("icon shown") : QStringLiteral("no icon"));
    QMenu* menu = trayMenu();
    if (!menu) {
        print(QStringLiteral("no menu"));
        QCoreApplication::exit(3);
        return;
    }
    print(QStringLiteral("menu ") + menuText(menu));

    QElapsedTimer sinceAbout;
    sinceAbout.start();
    menu->actions().at(2)->trigger();
    const auto first = topLevels<Vondra::TavSplashScreen>();
    waitUntil([&] { return first.size() == 1 && first.first()->isVisible(); }, 3000);
    pause(300);
    if (first.size() == 1)
        saveScreen(first.first()->geometry(), artefacts + QStringLiteral("/splash.png"));
    menu->actions().at(2)->trigger();
    const auto second = topLevels<Vondra::TavSplashScreen>();
    print(QStringLiteral("splash screens %1 %2, again %3 %4")
              .arg(first.size())
              .arg(first.value(0) && first.value(0)->isVisible() ? "shown" : "hidden")
              .arg(second.size())
              .arg(second == first ? "the same" : "another"));

    QWidget* icon = shownTopLevel("QSystemTrayIconSys");
    const QPoint below = icon ? icon->mapToGlobal(QPoint(0, icon->height())) : QPoint(800, 32);
    menu->popup(below);
    pause(400);
    saveScreen(QGuiApplication::primaryScreen()->geometry(), artefacts + QStringLiteral("/tray-menu.png"));
    menu->hide();

    checkShareLink(menu->actions().at(0), catcher);

    app.showMessage(QStringLiteral("Tavlo"), QStringLiteral("Balloon text"));
    waitUntil([] { return shownTopLevel("QBalloonTip"); }, 3000);
    print(
        QStringLiteral("balloon ") + shownTexts("QBalloonTip") + QStringLiteral(", box ") + shownTexts("QMessageBox"));

    // Qt's coarse timers may fire up to 5 % early.
    const bool closed = waitUntil([&] { return !first.first()->isVisible(); }, 10000);
    print(closed && sinceAbout.elapsed() >= 4700
            ? QStringLiteral("splash closed itself after 5 s")
            : QStringLiteral("splash closed after %1 ms").arg(sinceAbout.elapsed()));
    menu->actions().at(3)->trigger();
}

int trayMode(int argc, char** argv, const QString& artefacts)
{
    AgentApp app(argc, argv);
    setIdentity();
    QFont font = QApplication::font();
    font.setPointSize(9);
    QApplication::setFont(font);
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "open");
    QDesktopServices::setUrlHandler(QStringLiteral("tavlo-test"), &catcher, "open");
    QTimer::singleShot(0, [&] { driveTray(app, artefacts, catcher); });
    print(QStringLiteral("event loop ended with %1").arg(app.exec()));
    return 0;
}

// No tray at first: notifications use the box; a tray that comes later gets
// the icon.
int lateTrayMode(int argc, char** argv)
{
    AgentApp app(argc, argv);
    setIdentity();
    app.setMessageTimeout(400);
    print(QSystemTrayIcon::isSystemTrayAvailable() ? QStringLiteral("tray at start")
                                                   : QStringLiteral("no tray at start"));
    app.showTrayIcon();
    app.showMessage(QStringLiteral("Tavlo"), QStringLiteral("Box text"));
    waitUntil([] { return shownTopLevel("QMessageBox"); }, 3000);
    print(
        QStringLiteral("box ") + shownTexts("QMessageBox") + QStringLiteral(", balloon ") + shownTexts("QBalloonTip"));
    const bool closed = waitUntil([] { return !shownTopLevel("QMessageBox"); }, 5000);
    print(closed ? QStringLiteral("box closed itself") : QStringLiteral("box still open"));
    print(QStringLiteral("waiting for a tray"));
    print(waitUntil(iconShown, trayTimeoutMs) ? QStringLiteral("icon shown once the tray came")
                                              : QStringLiteral("no icon"));
    // The icon stays for the test to look at until it closes our input.
    char line[16];
    while (std::fgets(line, sizeof line, stdin)) { }
    return 0;
}

// The agent's own entry, resident: once its event loop runs, read the tray
// and leave through Exit.
void readResidentAgent()
{
    if (!waitUntil(iconShown, trayTimeoutMs)) {
        print(QStringLiteral("no icon"));
        QCoreApplication::exit(3);
        return;
    }
    QMenu* menu = trayMenu();
    print(QStringLiteral("menu ") + menuText(menu));
    print(QStringLiteral("Qt's OK button ") + QCoreApplication::translate("QPlatformTheme", "OK"));
    menu->actions().at(3)->trigger();
}

// The agent's own entry in launch mode: read the notice of the failed launch,
// then close it a little later, which only an entry still waiting for it sees.
// Polled, never waited for: the launch runs on this thread.
void readLaunchNotice()
{
    if (!shownTopLevel("QMessageBox")) {
        QTimer::singleShot(20, readLaunchNotice);
        return;
    }
    print(QStringLiteral("box ") + shownTexts("QMessageBox") + (iconShown() ? ", icon shown" : ", no icon"));
    QTimer::singleShot(300, [] {
        print(QStringLiteral("still waiting"));
        topLevels<QMessageBox>().constFirst()->accept();
    });
}

// Runs the agent's entry with argv[0] and the request (resident without one),
// reading what it shows once the application exists.
int agentMode(int argc, char** argv)
{
    static bool launching = argc > 2;
    qAddPreRoutine([] { QTimer::singleShot(0, launching ? readLaunchNotice : readResidentAgent); });
    char* arguments[] = { argv[0], launching ? argv[2] : nullptr, nullptr };
    int count = launching ? 2 : 1;
    print(QStringLiteral("agent returned %1").arg(Vondra::runAgent(count, arguments)));
    return 0;
}

// The tray's update check, with whatever TavUpdate the test put beside us.
int updateMode(int argc, char** argv)
{
    AgentApp app(argc, argv);
    setIdentity();
    Vondra::TrayIcon tray;
    QTimer::singleShot(0, [&] {
        // A timer the tray did not start as its update timer changes nothing.
        QTimerEvent foreign(tray.startTimer(60000));
        QCoreApplication::sendEvent(&tray, &foreign);
        QCoreApplication::processEvents();
        bool updates = false;
        QMetaObject::invokeMethod(&tray, "checkUpdate", Qt::DirectConnection, Q_RETURN_ARG(bool, updates));
        print(updates ? QStringLiteral("update") : QStringLiteral("no update"));
        if (!updates)
            QCoreApplication::exit(1);
    });
    print(QStringLiteral("event loop ended with %1").arg(app.exec()));
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const QString artefacts = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QDir::currentPath();
    if (mode == QLatin1String("tray"))
        return trayMode(argc, argv, artefacts);
    if (mode == QLatin1String("late-tray"))
        return lateTrayMode(argc, argv);
    if (mode == QLatin1String("update"))
        return updateMode(argc, argv);
    if (mode == QLatin1String("agent"))
        return agentMode(argc, argv);
    print(QStringLiteral("unknown mode ") + mode);
    return 2;
}

#include "trayprobe.moc"
