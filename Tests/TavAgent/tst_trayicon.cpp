#include "ChildProcess.h"
#include "TestRegistry.h"
#include "TrayDesktop.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QString trayProbePath()
{
    return QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("trayprobe"));
}

// Screenshots are kept beside the tests for people to look at.
QString artefactDir()
{
    const QString path = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(QStringLiteral("artefacts"));
    QDir().mkpath(path);
    return path;
}

QStringList outputLines(const ChildRun& run)
{
    return QString::fromUtf8(run.standardOutput).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QString describe(const ChildRun& run)
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
    void launchModeNoticeIsSeen();
    void savedLanguageAtStartUp_data();
    void savedLanguageAtStartUp();

private:
    QProcessEnvironment childEnvironment(const QTemporaryDir& dir) const { return m_desktop->environment(dir.path()); }

    std::unique_ptr<TrayDesktop> m_desktop;
};

void TestTrayIcon::initTestCase()
{
    m_desktop = std::make_unique<TrayDesktop>();
    QString why;
    if (!m_desktop->startDisplay(&why) || !m_desktop->startTray(&why))
        QSKIP(qPrintable(why));
}

void TestTrayIcon::menuSplashAndBalloon()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const ChildRun run = runChild(trayProbePath(), { QStringLiteral("tray"), artefactDir() }, childEnvironment(dir));
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
    TrayDesktop desktop;
    QString why;
    QVERIFY2(desktop.startDisplay(&why), qPrintable(why));
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QProcess probe;
    probe.setProcessEnvironment(desktop.environment(dir.path()));
    probe.start(trayProbePath(), { QStringLiteral("late-tray") });
    QStringList lines;
    const auto readLines = [&] {
        while (probe.canReadLine())
            lines << QString::fromUtf8(probe.readLine()).trimmed();
        return lines;
    };
    QTRY_VERIFY_WITH_TIMEOUT(readLines().contains(QStringLiteral("waiting for a tray")), 15000);
    QVERIFY2(desktop.startTray(&why), qPrintable(why));
    QTRY_VERIFY_WITH_TIMEOUT(readLines().size() == 5, 20000);
    // Seen from the X server too: the icon's window sits inside the tray.
    QVERIFY(desktop.trayHolds(QStringLiteral("TavAgent")));
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

// Launch mode never shows the icon, so even beside a tray a failed launch's
// notice is the box, and the process waits for it.
void TestTrayIcon::launchModeNoticeIsSeen()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const ChildRun run = runChild(trayProbePath(), { QStringLiteral("launch-notice") }, childEnvironment(dir));
    QVERIFY2(run.finished && run.exitCode == 0, qPrintable(describe(run)));
    QCOMPARE(outputLines(run),
        QStringList({ "box Error / Did not find the tools to open the document.", "waited until the box closed" }));
}

void TestTrayIcon::savedLanguageAtStartUp_data()
{
    QTest::addColumn<QString>("language");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("none saved") << QString()
                                << QStringList(
                                       { "menu &Goto Share|-|&About|&Exit", "Qt's OK button OK", "agent returned 0" });
    QTest::newRow("zh_CN saved") << "zh_CN"
                                 << QStringList({ QString::fromUtf8("menu 转到共享(&G)|-|&About|&Exit"),
                                        QString::fromUtf8("Qt's OK button 确定"), "agent returned 0" });
}

// The agent's own entry, resident, with the translations installed beside it.
void TestTrayIcon::savedLanguageAtStartUp()
{
    QFETCH(QString, language);
    QFETCH(QStringList, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(copyProgram(trayProbePath(), dir.path(), QStringLiteral("TavAgent")));
    QDir(dir.path()).mkdir(QStringLiteral("languages"));
    for (const QString& qm : { QStringLiteral("TavAgent_zh_cn.qm"), QStringLiteral("qt_zh_cn.qm") })
        QVERIFY(QFile::copy(QDir(builtLanguagesDir()).filePath(qm), dir.filePath(QStringLiteral("languages/") + qm)));
    const QProcessEnvironment environment = childEnvironment(dir);
    if (!language.isEmpty()) {
        QSettings settings(environment.value(QStringLiteral("XDG_CONFIG_HOME")) + QStringLiteral("/Tavlo/TavAgent.ini"),
            QSettings::IniFormat);
        settings.setValue(QStringLiteral("language"), language);
    }

    const ChildRun run = runChild(dir.filePath(QStringLiteral("TavAgent")), { QStringLiteral("agent") }, environment);
    QVERIFY2(run.finished && run.exitCode == 0 && outputLines(run) == expected, qPrintable(describe(run)));
}

TAVLO_TEST(TestTrayIcon)
#include "tst_trayicon.moc"
