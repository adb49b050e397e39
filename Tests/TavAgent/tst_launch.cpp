#include "LaunchApplication.h"
#include "OpenUrlEventHandler.h"
#include "TestRegistry.h"

#include <QFileOpenEvent>
#include <QtTest>

using Vondra::LaunchApplication;

class TestLaunchRequest : public QObject
{
    Q_OBJECT

private slots:
    void parseTarget_data();
    void parseTarget();
    void namesTool_data();
    void namesTool();
    void fileOpenEventRunsTheRequest();
};

void TestLaunchRequest::parseTarget_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tool");
    QTest::addColumn<QStringList>("arguments");

    // Texts as run() hands them over, without "tavlo://".
    QTest::newRow("query") << "?callback=cb&tool=Writer2&file=a.doc&mode=edit"
                           << "Writer2" << QStringList { "file=a.doc", "mode=edit" };
    QTest::newRow("from the bridge") << "?callback=sharestatus&tool=Viewer&doc=7"
                                     << "Viewer" << QStringList { "doc=7" };
    QTest::newRow("value equal to the tool skipped") << "?callback=cb&tool=Writer&copy=Writer"
                                                     << "Writer" << QStringList();
    QTest::newRow("%40 in the query form") << "?callback=cb&tool=Mail&to=a%40b.c%2B"
                                           << "Mail" << QStringList { "to=a@b.c%2B" };
    QTest::newRow("path") << "Writer2/?a.doc+mode%2bx"
                          << "Writer2" << QStringList { "a.doc", "mode", "x" };
    QTest::newRow("path keeps empty parts") << "Viewer/?a++b%40"
                                            << "Viewer" << QStringList { "a", "", "b%40" };
    QTest::newRow("path with nothing after ?") << "Viewer/?"
                                               << "Viewer" << QStringList { "" };
    QTest::newRow("every / leaves the tool") << "Wri/ter//?x"
                                             << "Writer" << QStringList { "x" };
    QTest::newRow("tool first is ?tool") << "?tool=Writer&file=a.doc"
                                         << "" << QStringList { "?tool=Writer", "file=a.doc" };
    QTest::newRow("no tool item") << "Writer"
                                  << "" << QStringList();
    QTest::newRow("empty") << ""
                           << "" << QStringList();
}

void TestLaunchRequest::parseTarget()
{
    QFETCH(QString, text);
    QFETCH(QString, tool);
    QFETCH(QStringList, arguments);
    const Vondra::LaunchTarget target = LaunchApplication::parseTarget(text);
    QCOMPARE(target.tool, tool);
    QCOMPARE(target.arguments, arguments);
}

void TestLaunchRequest::namesTool_data()
{
    QTest::addColumn<QString>("request");
    QTest::addColumn<bool>("accepted");

    // Tool names as parsed from the request; the agent lives in "Agent".
    QTest::newRow("tool") << "?callback=cb&tool=Writer2" << true;
    QTest::newRow("digits only") << "2018/?" << true;
    QTest::newRow("dots inside") << "?callback=cb&tool=a..b" << true;
    QTest::newRow("64 characters") << "?callback=cb&tool=" + QString(64, 'w') << true;
    QTest::newRow("65 characters") << "?callback=cb&tool=" + QString(65, 'w') << false;
    QTest::newRow("climbs in the query") << "?callback=sharestatus&tool=../../x" << false;
    QTest::newRow("parent in the path") << "../?" << false;
    QTest::newRow("parent in the query") << "?callback=cb&tool=.." << false;
    QTest::newRow("current directory") << "./?" << false;
    QTest::newRow("backslashes in the path") << "..\\..\\x/?" << false;
    QTest::newRow("dots decoded in the query") << "?callback=cb&tool=%2E%2E" << false;
    QTest::newRow("drive") << "?callback=cb&tool=C:x" << false;
    QTest::newRow("upper-case scheme kept") << "TAVLO://Writer/?x" << false;
    QTest::newRow("control character") << "a\tb/?" << false;
    QTest::newRow("the agent's directory") << "?callback=cb&tool=agent" << false;
    QTest::newRow("the agent itself") << "TAVAGENT/?+-platformpluginpath+x" << false;
    QTest::newRow("no tool") << "?tool=Writer" << false;
}

void TestLaunchRequest::namesTool()
{
    QFETCH(QString, request);
    QFETCH(bool, accepted);
    const QString tool = LaunchApplication::parseTarget(request).tool;
    QCOMPARE(LaunchApplication::namesTool(tool, QStringLiteral("Agent"), QStringLiteral("TavAgent")), accepted);
}

void TestLaunchRequest::fileOpenEventRunsTheRequest()
{
    Vondra::OpenUrlEventHandler handler;
    QObject watched;
    watched.installEventFilter(&handler);

    QTest::ignoreMessage(QtDebugMsg, "file open event.");
    QFileOpenEvent empty { QUrl() };
    QVERIFY(handler.eventFilter(&watched, &empty));
    QTest::ignoreMessage(QtDebugMsg, "file open event.");
    QTest::ignoreMessage(QtDebugMsg, "target is empty.");
    QFileOpenEvent rejected { QUrl(QStringLiteral("tavlo://?callback=cb")) };
    QVERIFY(handler.eventFilter(&watched, &rejected));
    QEvent other(QEvent::User);
    QVERIFY(!handler.eventFilter(&watched, &other));
}

TAVLO_TEST(TestLaunchRequest)
#include "tst_launch.moc"
