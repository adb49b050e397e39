#include "BuiltPrograms.h"
#include "ProcessRunner.h"
#include "StartRecorder.h"
#include "TestDisplay.h"
#include "TestFiles.h"
#include "TestRegistry.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using namespace Vondra::Testing;

namespace {

// Screenshots are kept beside the tests for people to look at.
QString artefactDir()
{
    const QString path = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("artefacts"));
    QDir().mkpath(path);
    return path;
}

QStringList outputLines(const ProcessRun& run)
{
    return QString::fromUtf8(run.standardOutput).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString describe(const ProcessRun& run)
{
    return QStringLiteral("exit %1, output:\n%2\nerrors:\n%3")
        .arg(run.exitCode)
        .arg(QString::fromUtf8(run.standardOutput), QString::fromUtf8(run.standardError));
}

} // namespace

// The tray icon, its menu, the About splash and the notifications, on an X
// server of the test's own with a real XEmbed tray.
class TestTrayIcon : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void menuSplashAndBalloon();
    void lateTrayAndBoxWithoutTray();
    void agentInItsLanguage_data();
    void agentInItsLanguage();
    void updateCheck_data();
    void updateCheck();

private:
    QProcessEnvironment desktopEnvironment(const QTemporaryDir& dir) const
    {
        return m_desktop->environment(dir.path());
    }

    std::unique_ptr<TestDisplay> m_desktop;
    QString m_noDesktop; // why there is none
};

void TestTrayIcon::initTestCase()
{
    m_desktop = std::make_unique<TestDisplay>();
    if (!m_desktop->start(&m_noDesktop))
        return;
    m_desktop->startTrayHost(&m_noDesktop);
}

#define REQUIRE_DESKTOP()                                                                                              \
    if (!m_noDesktop.isEmpty())                                                                                        \
    QSKIP(qPrintable(m_noDesktop))

void TestTrayIcon::menuSplashAndBalloon()
{
    REQUIRE_DESKTOP();
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const ProcessRun run
        = runProcess(testProgram("trayprobe"), { QStringLiteral("tray"), artefactDir() }, desktopEnvironment(dir));
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(describe(run)));
    QCOMPARE(outputLines(run),
        QStringList({
            "icon shown",
            "menu &Goto Share|-|&About|&Exit",
            "splash screens 1 shown, again 1 the same",
            "opened http://www.tavlo.example/share/share_list",
            "opened tavlo-test://files.example/my docs?x=1",
            "balloon Tavlo / Balloon text, box none",
            "splash closed itself after 5 s",
            "event loop ended with 0",
        }));

    // The stamp is the only change to the image: white text in the band of
    // rows 120 to 136, from 140 pixels from the left (9-point application
    // font, so 10.8 points bold, p = 11).
    const QImage shot = QImage(artefactDir() + QStringLiteral("/splash.png")).convertToFormat(QImage::Format_RGB32);
    const QImage image
        = QImage(QStringLiteral(TAVAGENT_SOURCE_DIR "/images/splashscreen.png")).convertToFormat(QImage::Format_RGB32);
    QCOMPARE(shot.size(), QSize(504, 360));
    QCOMPARE(image.size(), shot.size());
    QStringList outside;
    int stamped = 0;
    int darker = 0;
    int left = image.width();
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb before = image.pixel(x, y);
            const QRgb after = shot.pixel(x, y);
            if (before == after)
                continue;
            if (x < 140 || y < 120 || y > 136) {
                outside << QStringLiteral("(%1,%2)").arg(x).arg(y);
                continue;
            }
            ++stamped;
            left = qMin(left, x);
            if (qGray(after) <= qGray(before))
                ++darker;
        }
    }
    QVERIFY2(outside.isEmpty(), qPrintable("changed outside the band: " + outside.mid(0, 10).join(' ')));
    QVERIFY2(stamped > 100, qPrintable(QStringLiteral("only %1 pixels stamped").arg(stamped)));
    QCOMPARE(darker, 0);
    QVERIFY2(left <= 143, qPrintable(QStringLiteral("stamp starts at x = %1").arg(left)));
}

void TestTrayIcon::lateTrayAndBoxWithoutTray()
{
    REQUIRE_DESKTOP();
    TestDisplay desktop;
    QString why;
    QVERIFY2(desktop.start(&why), qPrintable(why));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess probe;
    probe.setProcessEnvironment(desktop.environment(dir.path()));
    probe.start(testProgram("trayprobe"), { QStringLiteral("late-tray") });
    QStringList lines;
    const auto readLines = [&] {
        while (probe.canReadLine())
            lines << QString::fromUtf8(probe.readLine()).trimmed();
        return lines;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readLines().contains(QStringLiteral("waiting for a tray")), 15000);
    QVERIFY2(desktop.startTrayHost(&why), qPrintable(why));
    QTRY_VERIFY_WITH_TIMEOUT(readLines().size() == 5, 20000);
    // Seen from the X server too: the icon's window sits inside the tray, once
    // the tray host has taken it in, which it does in its own time.
    QTRY_VERIFY_WITH_TIMEOUT(desktop.trayHolds(QStringLiteral("TavAgent")), 10000);
    probe.closeWriteChannel();
    QVERIFY(probe.waitForFinished(5000));
    readLines();
    QCOMPARE(lines,
        QStringList({
            "no tray at start",
            "box Tavlo / Box text, balloon none",
            "box closed itself",
            "waiting for a tray",
            "icon shown once the tray came",
        }));
    QCOMPARE(probe.exitCode(), 0);
}

void TestTrayIcon::agentInItsLanguage_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QString>("request");
    QTest::addColumn<QStringList>("expected");
    const QString missingTool = QStringLiteral("tavlo://?callback=cb&tool=Writer2&file=a.doc");
    QTest::newRow("resident") << QString() << QString()
                              << QStringList(
                                     { "menu &Goto Share|-|&About|&Exit", "Qt's OK button OK", "agent returned 0" });
    QTest::newRow("resident, zh_CN saved") << "zh_CN" << QString()
                                           << QStringList({ QString::fromUtf8("menu 转到共享(&G)|-|&About|&Exit"),
                                                  QString::fromUtf8("Qt's OK button 确定"), "agent returned 0" });
    // Launch mode never shows the icon, so even beside a tray the notice of a
    // failed launch is the box, and the process waits for it.
    QTest::newRow("launch of a missing tool")
        << QString() << missingTool
        << QStringList({ "box Error / Did not find the tools to open the document., no icon", "still waiting",
               "agent returned 0" });
    QTest::newRow("launch of a missing tool, zh_CN saved")
        << "zh_CN" << missingTool
        << QStringList({ QString::fromUtf8("box 错误 / 未找到打开此文档的工具。, no icon"), "still waiting",
               "agent returned 0" });
}

// The agent's own entry, with the translations installed beside it and a
// language saved or not.
void TestTrayIcon::agentInItsLanguage()
{
    REQUIRE_DESKTOP();
    QFETCH(QString, language);
    QFETCH(QString, request);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDir agentDir(dir.filePath(QStringLiteral("Agent")));
    QVERIFY(agentDir.mkpath(QStringLiteral("languages")));
    QVERIFY(copyProgram(testProgram("trayprobe"), agentDir.path(), QStringLiteral("TavAgent")));
    for (const QString& qm : { QStringLiteral("TavAgent_zh_cn.qm"), QStringLiteral("qt_zh_cn.qm") })
        QVERIFY(QFile::copy(QDir(binDirectory() + QStringLiteral("/languages")).filePath(qm),
            agentDir.filePath(QStringLiteral("languages/") + qm)));
    const QProcessEnvironment environment = desktopEnvironment(dir);
    if (!language.isEmpty()) {
        QSettings settings(environment.value(QStringLiteral("XDG_CONFIG_HOME")) + QStringLiteral("/Tavlo/TavAgent.ini"),
            QSettings::IniFormat);
        settings.setValue(QStringLiteral("language"), language);
    }

    QStringList arguments { QStringLiteral("agent") };
    if (!request.isEmpty())
        arguments << request;
    const ProcessRun run = runProcess(agentDir.filePath(QStringLiteral("TavAgent")), arguments, environment);
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(describe(run)));
    QCOMPARE(outputLines(run), expected);
}

void TestTrayIcon::updateCheck_data()
{
    QTest::addColumn<int>("updaterExit"); // no TavUpdate when negative
    QTest::addColumn<bool>("update");
    QTest::newRow("no TavUpdate") << -1 << false;
    QTest::newRow("failed check, -1 read from 255") << 255 << false;
    QTest::newRow("an update") << 1 << true;
}

// The tray's own update check uses the launches' hand-over: TavUpdate gets the
// agent's version and restarts it without a launch argument.
void TestTrayIcon::updateCheck()
{
    QFETCH(int, updaterExit);
    QFETCH(bool, update);
    QTemporaryDir home;
    QVERIFY(home.isValid());
    const QString agentDir = home.filePath(QStringLiteral("Agent"));
    QVERIFY(QDir().mkpath(agentDir));
    QVERIFY(copyProgram(testProgram("trayprobe"), agentDir, QStringLiteral("TavAgent")));
    if (updaterExit >= 0) {
        QVERIFY(copyProgram(startRecorderPath(), agentDir, QStringLiteral("TavUpdate")));
        QVERIFY(writeFile(agentDir + QStringLiteral("/exit_code"), QByteArray::number(updaterExit)));
    }

    const ProcessRun run = runProcess(
        agentDir + QStringLiteral("/TavAgent"), { QStringLiteral("update") }, childEnvironment(home.path()));
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(describe(run)));
    QCOMPARE(outputLines(run),
        QStringList(
            { update ? "update" : "no update", update ? "event loop ended with 0" : "event loop ended with 1" }));
    const QStringList check { "-t", "TavAgent", "-d", agentDir, "-v", "7.0", "-s", "-c" };
    const QList<RecordedStart> checks = recordedStarts(agentDir);
    QCOMPARE(checks.size(), updaterExit >= 0 ? 1 : 0);
    if (updaterExit >= 0)
        QCOMPARE(checks.constFirst().arguments, check);
    if (!update)
        return;

    // The copy took the check's record along; the hand-over's start follows it.
    const QDir copies(home.path() + QStringLiteral("/.cache/Tavlo/TavAgent"));
    const QString copy
        = copies.filePath(copies.entryList({ QStringLiteral("handover-*") }, QDir::Dirs).value(0) + "/TavAgent");
    QTRY_COMPARE_WITH_TIMEOUT(recordedStarts(copy).size(), 2, 10000);
    QCOMPARE(recordedStarts(copy).constLast().arguments,
        QStringList({ "-t", "TavAgent", "-d", agentDir, "-v", "7.0", "-s", "-e" }));
}

TAVLO_TEST(TestTrayIcon)
#include "tst_trayicon.moc"
