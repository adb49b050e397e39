#include "UpdaterMain.h"

#include <QApplication>
#include <QByteArrayList>
#include <QDebug>

int main(int argc, char* argv[])
{
    // Taken before QApplication, which removes the arguments it understands
    // itself (-style, -reverse, ...) and would shift a target's values.
    QByteArrayList rawArguments;
    for (int i = 0; i < argc; ++i)
        rawArguments.append(QByteArray(argv[i]));

    QApplication app(argc, argv);
    Vondra::setApplicationIdentity();
    qDebug("test.");
    if (rawArguments.size() < 2)
        return -1;

    QStringList arguments;
    for (const QByteArray& argument : rawArguments)
        arguments.append(QString::fromLocal8Bit(argument));
    return Vondra::updaterMain(arguments);
}
