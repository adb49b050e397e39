#include "AgentApp.h"
#include "BuiltPrograms.h"
#include "ProcessRunner.h"
#include "TestRegistry.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <sys/types.h>

using namespace Vondra::Testing;

using Vondra::AgentApp;

namespace {

const QString untranslated = QStringLiteral("Application instance not created yet");
const QString translated = QString::fromUtf8("应用程序实例尚未创建");

QStringList readLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Whether the process has a handler of its own for signal (Linux /proc).
bool catchesSignal(qint64 pid, int signal)
{
    for (const QString& line : readLines(QStringLiteral("/proc/%1/status").arg(pid))) {
        if (line.startsWith(QLatin1String("SigCgt:")))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

// The probe copied as "TavAgent" into dir, so it looks for TavAgent_*.qm;
// the compiled translation goes into translationDir (none when empty).
QString installProbeAsAgent(const QTemporaryDir& dir, const QString& translationDir)
{
    if (!copyProgram(testProgram("agentprobe"), dir.path(), QStringLiteral("TavAgent")))
        return {};
    if (!translationDir.isEmpty()) {
        const QString qm = QStringLiteral("TavAgent_zh_cn.qm");
        QDir(dir.path()).mkpath(translationDir);
        if (!QFile::copy(QDir(binDirectory() + QStringLiteral("/languages")).filePath(qm),
                QDir(dir.filePath(translationDir)).filePath(qm)))
            return {};
    }
    return dir.filePath(QStringLiteral("TavAgent"));
}

} // namespace

class TestAgentApp : public QObject
{
    Q_OBJECT

private slots:
    void launchModeTrace_data();
    void launchModeTrace();
    void residentStopsOnSignal_data();
    void residentStopsOnSignal();
    void onlyOneResidentAgent();
    void instanceOnlyWhileTheAppExists();
    void notifications_data();
    void notifications();
    void buildDate_data();
    void buildDate();
    void loadTranslator_data();
    void loadTranslator();
    void setLanguage_data();
    void setLanguage();
};

void TestAgentApp::launchModeTrace_data()
{
    QTest::addColumn<QStringList>("arguments");
    // Names no tool: this is about the entry's own lines.
    QTest::newRow("request and an extra argument")
        << QStringList { QStringLiteral("tavlo://?callback=cb&note=100%2"), QString::fromUtf8("Žluťoučký kůň") };
    // Qt's own options are requests like any other text, not for the application object to take.
    QTest::newRow("-reverse") << QStringList { QStringLiteral("-reverse") };
    QTest::newRow("-style fusion") << QStringList { QStringLiteral("-style"), QStringLiteral("fusion"),
        QStringLiteral("tavlo://x") };
}

void TestAgentApp::launchModeTrace()
{
    QFETCH(QStringList, arguments);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(copyProgram(builtProgram("TavAgent"), dir.path(), QStringLiteral("TavAgent")));
    const QString agent = dir.filePath(QStringLiteral("TavAgent"));

    const ProcessRun run = runProcess(agent, arguments, childEnvironment(dir.path()), dir.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);

    // Every line says where it comes from: "Debug: <message> (<source>:<line>,
    // <function>)". The entry's lines come from one source, the first from the
    // entry itself and the other two from launch mode.
    const QRegularExpression format(QStringLiteral(R"(^Debug: (.*) \((\S+\.cpp):([1-9]\d*), (\S[^,]*\(.*\))\)$)"));
    QList<QRegularExpressionMatch> entryLines;
    for (const QString& line : readLines(dir.filePath(QStringLiteral("trace.log")))) {
        const QRegularExpressionMatch match = format.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        if (entryLines.isEmpty() || match.captured(2) == entryLines.constFirst().captured(2))
            entryLines << match;
    }
    QCOMPARE(entryLines.size(), 3);
    // Built by concatenation: the texts hold "%2", which arg() would replace.
    const QStringList expected { QStringLiteral("running tavagent."),
        "(\"" + agent + "\", \"" + arguments.join(QLatin1String("\", \"")) + "\")", QStringLiteral("end TavAgent.") };
    for (int i = 0; i < 3; ++i)
        QCOMPARE(entryLines.at(i).captured(1), expected.at(i));
    QVERIFY(entryLines.at(0).captured(4) != entryLines.at(1).captured(4));
    QCOMPARE(entryLines.at(2).captured(4), entryLines.at(1).captured(4));
}

void TestAgentApp::residentStopsOnSignal_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT (Ctrl-C)") << int(SIGINT);
}

void TestAgentApp::residentStopsOnSignal()
{
    QFETCH(int, signal);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(copyProgram(builtProgram("TavAgent"), dir.path(), QStringLiteral("TavAgent")));

    QProcess agent;
    agent.setProcessEnvironment(childEnvironment(dir.path()));
    agent.start(dir.filePath(QStringLiteral("TavAgent")), QStringList());
    QVERIFY2(agent.waitForStarted(), qPrintable(agent.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(catchesSignal(agent.processId(), signal), 15000);
    QVERIFY2(agent.state() == QProcess::Running, "the resident agent ended by itself");

    QCOMPARE(::kill(pid_t(agent.processId()), signal), 0);
    QVERIFY(agent.waitForFinished(15000));
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 0);
    QVERIFY(readLines(dir.filePath(QStringLiteral("trace.log"))).first().startsWith("Debug: running tavagent. ("));
}

// Agents that share a home (so a runtime directory) see each other: a second resident
// agent ends at once without a trace, a launch request still runs.
void TestAgentApp::onlyOneResidentAgent()
{
    QTemporaryDir home;
    QTemporaryDir firstDir;
    QTemporaryDir secondDir;
    QVERIFY(home.isValid() && firstDir.isValid() && secondDir.isValid());
    QVERIFY(copyProgram(builtProgram("TavAgent"), firstDir.path(), QStringLiteral("TavAgent")));
    QVERIFY(copyProgram(builtProgram("TavAgent"), secondDir.path(), QStringLiteral("TavAgent")));
    const QString second = secondDir.filePath(QStringLiteral("TavAgent"));
    const QString secondTrace = secondDir.filePath(QStringLiteral("trace.log"));

    QProcess resident;
    resident.setProcessEnvironment(childEnvironment(home.path()));
    resident.start(firstDir.filePath(QStringLiteral("TavAgent")), QStringList());
    QVERIFY2(resident.waitForStarted(), qPrintable(resident.errorString()));
    const auto stopResident = qScopeGuard([&resident] {
        resident.terminate();
        if (!resident.waitForFinished(15000))
            resident.kill();
    });
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(firstDir.filePath(QStringLiteral("trace.log"))), 15000);

    const ProcessRun duplicate = runProcess(second, {}, childEnvironment(home.path()), secondDir.path());
    QVERIFY2(duplicate.finished, "a second resident agent kept running");
    QCOMPARE(duplicate.exitStatus, QProcess::NormalExit);
    QCOMPARE(duplicate.exitCode, 0);
    QVERIFY(!QFile::exists(secondTrace));

    const ProcessRun launch = runProcess(second, { QStringLiteral("tavlo://?callback=cb&tool=Writer2") },
        childEnvironment(home.path()), secondDir.path());
    QVERIFY(launch.finished);
    QCOMPARE(launch.exitCode, 0);
    const QStringList trace = readLines(secondTrace);
    QVERIFY(!trace.isEmpty());
    QVERIFY(trace.first().startsWith("Debug: running tavagent. ("));
    QVERIFY(trace.last().startsWith("Debug: end TavAgent. ("));
    QCOMPARE(resident.state(), QProcess::Running);
}

void TestAgentApp::instanceOnlyWhileTheAppExists()
{
    const ProcessRun run = runProcess(testProgram("agentprobe"), { QStringLiteral("instance") }, childEnvironment());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.standardOutput).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines,
        QStringList({ "before: " + untranslated, QStringLiteral("during: instance"), "after: " + untranslated }));
    // A plain QApplication is not the agent either.
    QVERIFY_EXCEPTION_THROWN(AgentApp::instance(), std::runtime_error);
}

void TestAgentApp::notifications_data()
{
    QTest::addColumn<QString>("probe");
    QTest::addColumn<QString>("expected");
    QTest::newRow("two notifications share one box") << "message"
                                                     << "shown Second second text warning\n";
    QTest::newRow("a closed notification keeps the agent running") << "message-in-event-loop"
                                                                   << "box closed\nstill running\n";
}

void TestAgentApp::notifications()
{
    QFETCH(QString, probe);
    QFETCH(QString, expected);
    const ProcessRun run = runProcess(testProgram("agentprobe"), { probe }, childEnvironment());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.standardOutput), expected);
}

void TestAgentApp::buildDate_data()
{
    QTest::addColumn<QString>("compilerDate");
    QTest::addColumn<QString>("expected");
    const QString today = QDate::currentDate().toString(QStringLiteral("yyMMdd"));
    QTest::newRow("blank-padded day") << "Jun  8 2018"
                                      << "180608";
    QTest::newRow("two-digit day") << "Dec 31 1999"
                                   << "991231";
    QTest::newRow("month in other case") << "jun  8 2018" << today;
    QTest::newRow("no month") << "??? ?? ????" << today;
}

void TestAgentApp::buildDate()
{
    QFETCH(QString, compilerDate);
    QFETCH(QString, expected);
    QCOMPARE(AgentApp::parseBuildDate(compilerDate).toString(QStringLiteral("yyMMdd")), expected);
}

void TestAgentApp::loadTranslator_data()
{
    QTest::addColumn<QString>("translationDir");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected");
    QTest::newRow("languages directory") << "languages"
                                         << "zh_cn" << translated;
    QTest::newRow("program directory") << "."
                                       << "zh_cn" << translated;
    QTest::newRow("shorter name found by stripping") << "languages"
                                                     << "zh_cn_variant" << translated;
    QTest::newRow("no translation") << QString() << "zh_cn" << untranslated;
}

void TestAgentApp::loadTranslator()
{
    QFETCH(QString, translationDir);
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString agent = installProbeAsAgent(dir, translationDir);
    QVERIFY(!agent.isEmpty());

    const ProcessRun run = runProcess(agent, { QStringLiteral("translate"), locale }, childEnvironment());
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(QString::fromUtf8(run.standardOutput).trimmed(), expected);
    QCOMPARE(run.standardError.contains("Cannot load translator for"), expected == untranslated);
}

void TestAgentApp::setLanguage_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<bool>("save");
    QTest::addColumn<QString>("expectedLocale");
    QTest::addColumn<bool>("expectTranslated");
    QTest::addColumn<QString>("expectedStored");

    // The children run with the C locale as the system's.
    QTest::newRow("saved") << QString() << "zh_CN" << true << "zh_CN" << true << "zh_CN";
    QTest::newRow("applied, not saved") << "de_DE"
                                        << "zh_CN" << false << "zh_CN" << true << "de_DE";
    QTest::newRow("invalid name changes nothing") << "de_DE"
                                                  << "xx" << true << "C" << false << "de_DE";
    QTest::newRow("saved language applied") << "zh_CN" << QString() << false << "zh_CN" << true << "zh_CN";
    QTest::newRow("empty with save forgets") << "zh_CN" << QString() << true << "C" << false << "(none)";
}

void TestAgentApp::setLanguage()
{
    QFETCH(QString, stored);
    QFETCH(QString, locale);
    QFETCH(bool, save);
    QFETCH(QString, expectedLocale);
    QFETCH(bool, expectTranslated);
    QFETCH(QString, expectedStored);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString agent = installProbeAsAgent(dir, QStringLiteral("languages"));
    QVERIFY(!agent.isEmpty());
    if (!stored.isEmpty()) {
        QSettings settings(dir.filePath(QStringLiteral(".config/Tavlo/TavAgent.ini")), QSettings::IniFormat);
        settings.setValue(QStringLiteral("language"), stored);
    }

    QStringList arguments { QStringLiteral("language"), locale };
    if (save)
        arguments << QStringLiteral("save");
    const ProcessRun run = runProcess(agent, arguments, childEnvironment(dir.path()));
    QVERIFY(run.finished);
    QCOMPARE(run.exitCode, 0);
    const QStringList lines = QString::fromUtf8(run.standardOutput).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines, QStringList({ expectedLocale, expectTranslated ? translated : untranslated, expectedStored }));
    QCOMPARE(run.standardError.contains("Invalid locale name \"xx\""), locale == QLatin1String("xx"));
}

TAVLO_TEST(TestAgentApp)
#include "tst_agentapp.moc"
