// Builds single-instance guards in a process of its own and reports over
// standard output, one line per event: "first" or "running" for each guard,
// "message <n> <text>" for each message guard n receives (texts quoted, a
// null one as null), "sent" or "not sent". The process holds its guards until
// standard input closes; a line "release" releases them ("released").
// Usage: guardprobe hold|listen|listen-twice <id>
//        guardprobe default <application name> <version>
//        guardprobe send <id> <message>

#include "SingleApplication.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <memory>
#include <unistd.h>
#include <vector>

using Vondra::SingleApplication;

namespace {

void print(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

QString quoted(const QString& text)
{
    return text.isNull() ? QStringLiteral("null") : QLatin1Char('"') + text + QLatin1Char('"');
}

std::unique_ptr<SingleApplication> makeGuard(const QString& id, bool listen)
{
    auto guard = id.isNull() ? std::make_unique<SingleApplication>() : std::make_unique<SingleApplication>(id, listen);
    print(guard->isRunning() ? QStringLiteral("running") : QStringLiteral("first"));
    if (listen) {
        static int count = 0;
        const int number = ++count;
        QObject::connect(guard.get(), &SingleApplication::messageReceived,
            [number](const QString& message) { print(QStringLiteral("message %1 ").arg(number) + quoted(message)); });
    }
    return guard;
}

// A line "release" releases the guards (twice, which must be harmless).
int holdUntilInputCloses(QCoreApplication& app, const std::vector<std::unique_ptr<SingleApplication>>& guards)
{
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&app, &guards] {
        char buffer[64];
        const ssize_t count = ::read(STDIN_FILENO, buffer, sizeof(buffer));
        if (count <= 0) {
            app.quit();
        } else if (QByteArray(buffer, int(count)).startsWith("release")) {
            for (const auto& guard : guards) {
                guard->release();
                guard->release();
            }
            print(QStringLiteral("released"));
        }
    });
    return app.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    const QString mode = arguments.value(1);
    const QString id = arguments.value(2);
    std::vector<std::unique_ptr<SingleApplication>> guards;
    if (mode == QLatin1String("hold") || mode == QLatin1String("listen")) {
        guards.push_back(makeGuard(id, mode == QLatin1String("listen")));
    } else if (mode == QLatin1String("listen-twice")) {
        guards.push_back(makeGuard(id, true));
        guards.push_back(makeGuard(id, true));
    } else if (mode == QLatin1String("default")) {
        QCoreApplication::setApplicationName(arguments.value(2));
        QCoreApplication::setApplicationVersion(arguments.value(3));
        guards.push_back(makeGuard(QString(), false));
    } else if (mode == QLatin1String("send")) {
        const auto guard = makeGuard(id, false);
        print(guard->sendMessage(arguments.value(3)) ? QStringLiteral("sent") : QStringLiteral("not sent"));
        return 0;
    } else {
        print(QStringLiteral("unknown mode ") + mode);
        return 2;
    }
    return holdUntilInputCloses(app, guards);
}
