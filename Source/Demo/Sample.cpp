// The sample tool of the demonstration: shows that it was started, and with
// which arguments, in a small window and as a line in "Sample.log" beside it.

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QTextStream>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QStringList arguments = app.arguments().mid(1);
    const QString started = QStringLiteral("Sample tool started at %1 with %2 argument(s): %3")
                                .arg(QDateTime::currentDateTime().toString(Qt::ISODate))
                                .arg(arguments.size())
                                .arg(arguments.join(QLatin1Char(' ')));

    QFile log(QDir(QCoreApplication::applicationDirPath()).filePath(QStringLiteral("Sample.log")));
    if (log.open(QIODevice::Append | QIODevice::Text))
        QTextStream(&log) << started << '\n';

    QLabel window(started);
    window.setWindowTitle(QStringLiteral("Sample tool"));
    window.setMargin(24);
    window.show();
    return app.exec();
}
