// Runs one piece of the agent in a process of its own, for what a test process
// (which has its own application object) cannot do, or must not survive.
// Usage: agentprobe <mode> [arguments]; results go to standard output.

#include "AgentApp.h"
#include "Faults.h"
#include "ListenThread.h"
#include "Upgrade.h"

#include <QHostAddress>
#include <QLocale>
#include <QMessageBox>
#include <QSettings>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <exception>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

using Vondra::AgentApp;

namespace {

void print(const QString& text)
{
    std::printf("%s\n", text.toUtf8().constData());
    std::fflush(stdout);
}

void printInstance(const char* when)
{
    try {
        AgentApp::instance();
        print(QString::fromLatin1(when) + QStringLiteral(": instance"));
    } catch (const std::runtime_error& e) {
        print(QString::fromLatin1(when) + QStringLiteral(": ") + QString::fromUtf8(e.what()));
    }
}

QString translatedSample()
{
    return QCoreApplication::translate("Vondra::AgentApp", "Application instance not created yet");
}

int checkInstance(int argc, char** argv)
{
    printInstance("before");
    {
        AgentApp app(argc, argv);
        printInstance("during");
    }
    printInstance("after");
    return 0;
}

int faultOnSecondThread()
{
    std::thread worker([] {
        try {
            Faults::writeThroughNull();
        } catch (const std::exception&) {
            print(QStringLiteral("translated on the second thread"));
        }
    });
    worker.join();
    return 0;
}

// Two notifications, the second from another thread: one message box, showing
// the later one.
int showTwoMessages(AgentApp& app)
{
    app.showMessage(QStringLiteral("First"), QStringLiteral("first text"));
    std::thread worker([&app] { app.showMessage(QStringLiteral("Second"), QStringLiteral("second text")); });
    worker.join();
    QCoreApplication::processEvents();
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (auto* box = qobject_cast<QMessageBox*>(widget)) {
            print(QStringLiteral("%1 %2 %3 %4")
                      .arg(box->isVisible() ? "shown" : "hidden", box->windowTitle(), box->text())
                      .arg(box->icon() == QMessageBox::Warning ? "warning" : "other"));
        }
    }
    return 0;
}

// The notification box closes while the resident agent's event loop runs: the
// agent must go on until something asks it to quit.
int closeMessageInEventLoop(AgentApp& app)
{
    app.showMessage(QStringLiteral("Title"), QStringLiteral("text"));
    QTimer::singleShot(50, [] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* box = qobject_cast<QMessageBox*>(widget); box && box->isVisible()) {
                box->accept();
                print(QStringLiteral("box closed"));
            }
        }
    });
    QTimer::singleShot(300, [] {
        print(QStringLiteral("still running"));
        QCoreApplication::quit();
    });
    app.exec();
    return 0;
}

// The bridge's routes on a server that measures its coroutines' stacks: each
// route is asked `rounds` times, then the deepest use is printed.
int measureBridgeStack(int rounds)
{
    Http::HttpServer server(0, 4, 5, 300);
    server.settings.address = "127.0.0.1";
    server.settings.measure_stack_use = true;
    Vondra::ListenThread::addRoutes(server, Vondra::BridgeSettings());
    std::promise<unsigned short> listening;
    server.on_listening = [&listening](unsigned short port) { listening.set_value(port); };
    std::thread serving([&server] { server.start(); });
    const quint16 port = listening.get_future().get();

    const QByteArray requests[] = { "GET /?callback=tavinfo HTTP/1.1\r\nConnection: close\r\n\r\n",
        "GET /?callback=sharestatus&tool=Writer2&file=a%40b.doc HTTP/1.1\r\nConnection: close\r\n\r\n",
        "POST /string HTTP/1.1\r\nConnection: close\r\nContent-Length: 3\r\n\r\nabc" };
    for (const QByteArray& request : requests) {
        for (int i = 0; i < rounds; ++i) {
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, port);
            socket.waitForConnected();
            socket.write(request);
            while (socket.waitForReadyRead(5000))
                socket.readAll();
        }
    }
    // A connection counts once it has ended on the server's side too.
    for (int i = 0; i < 100 && server.deepest_stack_use() == 0; ++i)
        QThread::msleep(10);
    QThread::msleep(100);
    server.stop();
    serving.join();
    print(QString::number(server.deepest_stack_use()));
    return 0;
}

// Requests for one tool from several pool threads at once, as the bridge makes
// them.
int upgradeToolConcurrently(const QString& tool, int requests)
{
    std::vector<std::thread> threads;
    for (int i = 0; i < requests; ++i)
        threads.emplace_back([tool] { Vondra::Upgrade().upgradeTools(tool, tool); });
    for (std::thread& thread : threads)
        thread.join();
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    const QString argument = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (mode == QLatin1String("instance"))
        return checkInstance(argc, argv);

    AgentApp app(argc, argv);
    QCoreApplication::setOrganizationName(QStringLiteral("Tavlo"));
    QCoreApplication::setApplicationName(QStringLiteral("TavAgent"));
    QCoreApplication::setApplicationVersion(QStringLiteral("7.0"));
    if (mode == QLatin1String("translate")) {
        app.loadTranslator(argument);
        print(translatedSample());
    } else if (mode == QLatin1String("language")) {
        app.setLanguage(argument, argc > 3 && std::strcmp(argv[3], "save") == 0);
        print(QLocale().name());
        print(translatedSample());
        print(QSettings().value(QStringLiteral("language"), QStringLiteral("(none)")).toString());
    } else if (mode == QLatin1String("bridge-stack")) {
        return measureBridgeStack(argument.toInt());
    } else if (mode == QLatin1String("message")) {
        return showTwoMessages(app);
    } else if (mode == QLatin1String("message-in-event-loop")) {
        return closeMessageInEventLoop(app);
    } else if (mode == QLatin1String("upgrade-tool")) {
        print(Vondra::Upgrade().upgradeTools(argument, QString::fromLocal8Bit(argv[3])));
    } else if (mode == QLatin1String("upgrade-tool-concurrently")) {
        return upgradeToolConcurrently(argument, 3);
    } else if (mode == QLatin1String("hand-over-twice")) {
        print(QStringLiteral("%1 %2").arg(Vondra::Upgrade().handOver()).arg(Vondra::Upgrade().handOver()));
    } else if (mode == QLatin1String("uncaught-fault")) {
        Faults::writeThroughNull();
    } else if (mode == QLatin1String("terminate")) {
        std::terminate();
    } else if (mode == QLatin1String("thread-fault")) {
        return faultOnSecondThread();
    } else if (mode == QLatin1String("stack-overflow")) {
        Faults::overflowStack(0);
    } else {
        print(QStringLiteral("unknown mode ") + mode);
        return 2;
    }
    return 0;
}
