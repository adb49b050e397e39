// Stands in for a program that the agent or TavUpdate starts: appends the
// arguments it received and the directory it was started in, as one JSON
// object per start, to "starts.jsonl" beside itself. An "exit_code" file beside
// it holds the code to end with (default 0), after a pause of its second line's
// milliseconds, if any.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();

    QFile starts(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("starts.jsonl")));
    if (!starts.open(QIODevice::WriteOnly | QIODevice::Append))
        return 1;
    const QJsonObject start { { QStringLiteral("arguments"), QJsonArray::fromStringList(arguments) },
        { QStringLiteral("directory"), QDir::currentPath() } };
    starts.write(QJsonDocument(start).toJson(QJsonDocument::Compact) + '\n');
    starts.close();

    QFile behaviour(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("exit_code")));
    if (!behaviour.open(QIODevice::ReadOnly))
        return 0;
    const int exitCode = behaviour.readLine().trimmed().toInt();
    QThread::msleep(behaviour.readLine().trimmed().toULong());
    return exitCode;
}
