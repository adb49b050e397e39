#include "TestRegistry.h"

#include "Updater/Log.h"
#include "Updater/LogDevices.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>
#include <vector>

using namespace Updater;

namespace {

QStringList fileLines(const QString& fileName)
{
    QFile file(fileName);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Keeps every entry a device is handed, for the test to look at.
class MemoryLogDevice : public LogDevice
{
public:
    explicit MemoryLogDevice(std::vector<LogEntry>* entries)
        : m_entries(entries)
    {
    }
    void write(const LogEntry& entry) override { m_entries->push_back(entry); }

private:
    std::vector<LogEntry>* m_entries;
};

QStringList handledElsewhere;
void recordingHandler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    handledElsewhere << message;
}

std::atomic<int> echoes { 0 };
void countingHandler(QtMsgType, const QMessageLogContext&, const QString&)
{
    ++echoes;
}

} // namespace

class TestLogs : public QObject
{
    Q_OBJECT

private slots:
    void fileDeviceHonoursTheMode_data();
    void fileDeviceHonoursTheMode();
    void entriesReachEveryDeviceVerbatim();
    void redirectionRestoresThePreviousHandler();
    void deviceThatLogsDoesNotLoop();
    void redirectedMessagesFromManyThreads();
};

void TestLogs::fileDeviceHonoursTheMode_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<bool>("keepsOldLines");
    QTest::newRow("Append alone") << int(QIODevice::Append) << true;
    QTest::newRow("WriteOnly") << int(QIODevice::WriteOnly) << false;
    QTest::newRow("Truncate") << int(QIODevice::Truncate) << false;
}

void TestLogs::fileDeviceHonoursTheMode()
{
    QFETCH(int, mode);
    QFETCH(bool, keepsOldLines);
    QTemporaryDir dir;
    const QString path = dir.filePath("updater.log");
    {
        QFile old(path);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old line\n");
    }
    {
        auto* file = new FileLogDevice(path, QIODevice::OpenMode(mode));
        QVERIFY2(file->isOpen(), qPrintable(file->errorString()));
        Log log(file);
        log.setQDebugMessagesRedirected(false);
        log.logError("%s", "new line");
    }
    const QStringList lines = fileLines(path);
    QCOMPARE(lines.size(), keepsOldLines ? 2 : 1);
    QCOMPARE(lines.first() == "old line", keepsOldLines);
    QVERIFY2(QRegularExpression("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z \\[error\\] new line$")
                 .match(lines.last())
                 .hasMatch(),
        qPrintable(lines.last()));

    FileLogDevice unwritable(dir.filePath("no/such/dir/updater.log"), QIODevice::Append);
    QVERIFY(!unwritable.isOpen());
    unwritable.write(LogEntry());
}

// The composite TavUpdate builds, with a text that must come out unchanged:
// percent signs, Latin-1 bytes, and more than any fixed buffer holds.
void TestLogs::entriesReachEveryDeviceVerbatim()
{
    QTemporaryDir dir;
    std::vector<LogEntry> first;
    std::vector<LogEntry> second;
    auto* composite = new CompositeLogDevice;
    auto* signalDevice = new SignalLogDevice;
    QSignalSpy signalled(signalDevice, &SignalLogDevice::entryWritten);
    composite->addLogDevice(new MemoryLogDevice(&first));
    composite->addLogDevice(new FileLogDevice(dir.filePath("updater.log"), QIODevice::Append));
    composite->addLogDevice(new SystemLogDevice(SystemLogDevice::Application));
    composite->addLogDevice(signalDevice);
    composite->addLogDevice(new MemoryLogDevice(&second));
    composite->addLogDevice(nullptr);

    const QString percent = QString::fromUtf8("cannot reach http://h/%41%s%n: 100% Zürich");
    const QString longText = QString(100000, QLatin1Char('x')) + QStringLiteral("end");
    {
        Log log(composite);
        log.setQDebugMessagesRedirected(false);
        log.logError("%s", percent.toLatin1().constData());
        log.logWarning("%s", longText.toUtf8().constData());
        log.logInfo("%d packages, %s", 3, "ok");
    }
    QCOMPARE(first.size(), size_t(3));
    QCOMPARE(second.size(), size_t(3));
    QCOMPARE(first[0].message, percent);
    QCOMPARE(first[0].level, LogEntry::Error);
    QCOMPARE(first[1].message, longText);
    QCOMPARE(first[2].message, QString("3 packages, ok"));
    QCOMPARE(second[0].message, percent);
    QCOMPARE(signalled.count(), 3);
    QCOMPARE(signalled.at(0).at(0).toInt(), int(LogEntry::Error));
    QCOMPARE(signalled.at(0).at(1).toString(), percent);
    const QStringList lines = fileLines(dir.filePath("updater.log"));
    QCOMPARE(lines.size(), 3);
    QVERIFY(lines.at(0).endsWith(QStringLiteral("[error] ") + percent));
}

void TestLogs::redirectionRestoresThePreviousHandler()
{
    handledElsewhere.clear();
    const QtMessageHandler testHandler = qInstallMessageHandler(recordingHandler);
    std::vector<LogEntry> entries;
    {
        Log first(new MemoryLogDevice(&entries));
        QVERIFY(first.isQDebugMessagesRedirected());
        qDebug("to the log");
        {
            Log second(new MemoryLogDevice(&entries));
            qWarning("to both logs");
        }
        qInfo("to the first log again");
        first.setQDebugMessagesRedirected(false);
        qDebug("to the previous handler");
        first.setQDebugMessagesRedirected(true);
        qDebug("to the log once more");
    }
    qDebug("after the log is gone");
    qInstallMessageHandler(testHandler);

    QStringList logged;
    for (const LogEntry& entry : entries)
        logged << entry.message;
    QCOMPARE(logged,
        QStringList(
            { "to the log", "to both logs", "to both logs", "to the first log again", "to the log once more" }));
    QCOMPARE(entries[1].level, LogEntry::Warning);
    QCOMPARE(handledElsewhere, QStringList({ "to the previous handler", "after the log is gone" }));
}

// A slot on a signal device that logs again, to the same log or through
// qDebug(), must neither deadlock nor recurse without end.
void TestLogs::deviceThatLogsDoesNotLoop()
{
    auto* signalDevice = new SignalLogDevice;
    Log log(signalDevice);
    int calls = 0;
    connect(signalDevice, &SignalLogDevice::entryWritten, [&](int, const QString& message) {
        ++calls;
        qDebug("echo of %s", qPrintable(message));
        log.logInfo("again: %s", qPrintable(message));
    });
    log.logError("%s", "first");
    QCOMPARE(calls, 1);
}

// Threads log directly and through qDebug() at once, while a device of the log
// itself calls qDebug() as it writes; that must neither deadlock nor mix lines.
void TestLogs::redirectedMessagesFromManyThreads()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("threads.log");
    constexpr int threadCount = 4;
    constexpr int messagesPerThread = 500;
    echoes = 0;
    const QtMessageHandler testHandler = qInstallMessageHandler(countingHandler);
    {
        auto* composite = new CompositeLogDevice;
        auto* signalDevice = new SignalLogDevice;
        // Qt itself prints messages raised inside its handler; only the
        // direct calls matter here, so only they echo.
        connect(signalDevice, &SignalLogDevice::entryWritten, [](int level) {
            if (level == LogEntry::Info)
                qDebug("echo");
        });
        composite->addLogDevice(new FileLogDevice(path, QIODevice::Append));
        composite->addLogDevice(signalDevice);
        Log log(composite);
        std::vector<std::unique_ptr<QThread>> threads;
        for (int t = 0; t < threadCount; ++t) {
            threads.emplace_back(QThread::create([t, &log] {
                for (int i = 0; i < messagesPerThread; ++i) {
                    if (t % 2)
                        log.logInfo("thread %d message %d", t, i);
                    else
                        qDebug("thread %d message %d", t, i);
                }
            }));
            threads.back()->start();
        }
        for (auto& thread : threads)
            QVERIFY(thread->wait(30000));
    }
    qInstallMessageHandler(testHandler);
    QCOMPARE(echoes.load(), threadCount / 2 * messagesPerThread);
    const QStringList lines = fileLines(path);
    QCOMPARE(lines.size(), threadCount * messagesPerThread);
    const QRegularExpression wellFormed("^\\S+Z \\[(debug|info)\\] thread \\d message \\d+$");
    for (const QString& line : lines)
        QVERIFY2(wellFormed.match(line).hasMatch(), qPrintable(line));
}

TAVLO_TEST(TestLogs)
#include "tst_logs.moc"
