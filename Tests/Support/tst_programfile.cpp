#include "ProgramFile.h"
#include "TestRegistry.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using Vondra::ProgramFile;

class TestProgramFile : public QObject
{
    Q_OBJECT

private slots:
    void resolve_data();
    void resolve();
};

void TestProgramFile::resolve_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<QString>("expected");

    QTest::newRow("exact") << QStringList { "tavagent", "TavAgent" } << "TavAgent"
                           << "TavAgent";
    QTest::newRow("other case") << QStringList { "TavAgent" } << "tavagent"
                                << "TavAgent";
    QTest::newRow("missing keeps the wanted name") << QStringList { "Viewer" } << "writer"
                                                   << "writer";
}

void TestProgramFile::resolve()
{
    QFETCH(QStringList, present);
    QFETCH(QString, wanted);
    QFETCH(QString, expected);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString& name : present) {
        QFile file(dir.filePath(name));
        QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(file.errorString()));
    }
    const QString resolved = ProgramFile::resolve(QDir(dir.path()), wanted);
    QCOMPARE(resolved, QDir(dir.path()).absoluteFilePath(expected));
}

TAVLO_TEST(TestProgramFile)
#include "tst_programfile.moc"
