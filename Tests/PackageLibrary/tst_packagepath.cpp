#include "TestRegistry.h"

#include "PackagePath.h"

#include <QtTest>

using Updater::PackagePath;

class TestPackagePath : public QObject
{
    Q_OBJECT

private slots:
    // A null expected path means refused, with a reason holding "why".
    void safeRelative_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("expected");
        QTest::addColumn<QString>("why");

        QTest::newRow("clean") << "bin/tool.exe"
                               << "bin/tool.exe" << QString();
        QTest::newRow("dots and doubled separators") << "./a//b/./c"
                                                     << "a/b/c" << QString();
        QTest::newRow("Windows separators") << "bin\\sub\\x.dll"
                                            << "bin/sub/x.dll" << QString();
        QTest::newRow("record's name below the top") << "doc/Packages.xml"
                                                     << "doc/Packages.xml" << QString();
        QTest::newRow("a device name inside a longer one") << "console/com10/nullify.txt"
                                                           << "console/com10/nullify.txt" << QString();

        QTest::newRow("absolute") << "/etc/passwd" << QString() << "absolute";
        QTest::newRow("dot-dot") << "a/../../b" << QString() << "climbs out";
        QTest::newRow("control character") << "user\x01.ini" << QString() << "control character";
        QTest::newRow("stream") << "tool.exe:evil" << QString() << "':'";

        QTest::newRow("device") << "NUL" << QString() << "names a device";
        QTest::newRow("device with extension") << "lib/Com1.dll" << QString() << "names a device";
        QTest::newRow("device, space before the extension") << "nul .txt" << QString() << "names a device";
        QTest::newRow("console input") << "CONIN$" << QString() << "names a device";
        QTest::newRow("console output with extension") << "conout$.log" << QString() << "names a device";
        QTest::newRow("port with superscript one") << QStringLiteral("COM\u00b9") << QString() << "names a device";
        QTest::newRow("printer with superscript two")
            << QStringLiteral("a/LPT\u00b2.txt") << QString() << "names a device";
        QTest::newRow("device, trailing space") << "NUL " << QString() << "dot or a space";
        QTest::newRow("record, trailing dot") << "Packages.xml." << QString() << "dot or a space";
        QTest::newRow("record, trailing space") << "Packages.xml " << QString() << "dot or a space";
        QTest::newRow("directory, trailing dot") << "bin./tool" << QString() << "dot or a space";

        QTest::newRow("the record") << "packages.XML" << QString() << "reserved";
        QTest::newRow("the library's own files") << ".TavUpdater-x/journal" << QString() << "reserved";
    }

    void safeRelative()
    {
        QFETCH(QString, name);
        QFETCH(QString, expected);
        QFETCH(QString, why);
        QString reason;
        const QString path = PackagePath::safeRelative(name, &reason);
        QCOMPARE(path, expected);
        QCOMPARE(path.isNull(), expected.isNull());
        QVERIFY2(reason.contains(why), qPrintable(reason));
    }

    void containedLinkTarget_data()
    {
        QTest::addColumn<QString>("link");
        QTest::addColumn<QString>("target");
        QTest::addColumn<bool>("contained");
        QTest::newRow("sibling directory") << "bin/x"
                                           << "../lib/x" << true;
        QTest::newRow("its own directory") << "lnk"
                                           << "." << true;
        QTest::newRow("one up from one down") << "lnk/q"
                                              << ".." << true;
        QTest::newRow("one up from the top") << "q"
                                             << ".." << false;
        QTest::newRow("climbing after a name") << "b"
                                               << "a/.." << false;
        QTest::newRow("absolute") << "x"
                                  << "/etc" << false;
        QTest::newRow("drive") << "x"
                               << "C:\\x" << false;
    }

    void containedLinkTarget()
    {
        QFETCH(QString, link);
        QFETCH(QString, target);
        QFETCH(bool, contained);
        QCOMPARE(PackagePath::isContainedLinkTarget(link, target), contained);
    }
};

TAVLO_TEST(TestPackagePath)

#include "tst_packagepath.moc"
