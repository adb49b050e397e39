// Stands in for a target program that TavUpdate restarts: appends the arguments
// it received, as one JSON array per start, to "starts.jsonl" beside itself.
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();

    QFile starts(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("starts.jsonl")));
    if (!starts.open(QIODevice::WriteOnly | QIODevice::Append))
        return 1;
    starts.write(QJsonDocument(QJsonArray::fromStringList(arguments)).toJson(QJsonDocument::Compact) + '\n');
    return 0;
}
