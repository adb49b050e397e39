#include "TestFiles.h"
#include "TestRegistry.h"
#include "TraceLog.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>
#include <vector>

using Vondra::TraceLog;
using Vondra::Testing::readFile;
using Vondra::Testing::writeFile;

class TestTraceLog : public QObject
{
    Q_OBJECT

private slots:
    void concurrentWritersAcrossRotation();
    void rotation_data();
    void rotation();
};

// Eight threads write while the file passes the rotation size: every line must
// arrive whole, exactly once, in each thread's order, in one of the two files.
void TestTraceLog::concurrentWritersAcrossRotation()
{
    constexpr int threadCount = 8;
    constexpr int linesPerThread = 10000;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("trace.log"));
    const QByteArray fillerLine = QByteArray(99, 'f') + '\n';
    QVERIFY(writeFile(path, fillerLine.repeated(int(TraceLog::rotationSize / fillerLine.size()) - 5000)));

    const QString padding(40, QLatin1Char('x'));
    std::vector<std::thread> writers;
    for (int t = 0; t < threadCount; ++t) {
        writers.emplace_back([=] {
            for (int n = 0; n < linesPerThread; ++n)
                TraceLog::append(path, QStringLiteral("thread %1 line %2 %3").arg(t).arg(n).arg(padding));
        });
    }
    for (std::thread& writer : writers)
        writer.join();

    const QByteArray rotated = readFile(path + QStringLiteral(".1"));
    QVERIFY2(rotated.startsWith(fillerLine), "the file was not set aside once it passed the rotation size");
    const QList<QByteArray> lines = QByteArray(rotated + readFile(path)).split('\n');
    const QRegularExpression pattern(QStringLiteral("^thread (\\d) line (\\d+) x{40}$"));
    std::vector<int> next(threadCount, 0);
    int written = 0;
    for (const QByteArray& line : lines) {
        if (line.isEmpty() || line == fillerLine.chopped(1))
            continue;
        const QRegularExpressionMatch match = pattern.match(QString::fromUtf8(line));
        QVERIFY2(match.hasMatch(), line.constData());
        const int thread = match.captured(1).toInt();
        QCOMPARE(match.captured(2).toInt(), next[thread]++);
        ++written;
    }
    QCOMPARE(written, threadCount * linesPerThread);
}

void TestTraceLog::rotation_data()
{
    QTest::addColumn<qint64>("sizeBefore");
    QTest::addColumn<bool>("rotates");
    QTest::newRow("at the limit") << TraceLog::rotationSize << false;
    QTest::newRow("past the limit") << TraceLog::rotationSize + 1 << true;
}

void TestTraceLog::rotation()
{
    QFETCH(qint64, sizeBefore);
    QFETCH(bool, rotates);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("trace.log"));
    const QByteArray before(int(sizeBefore), 'a');
    QVERIFY(writeFile(path, before));
    QVERIFY(writeFile(path + QStringLiteral(".1"), "older\n"));

    TraceLog::append(path, QStringLiteral("next"));

    QCOMPARE(readFile(path), rotates ? QByteArray("next\n") : before + "next\n");
    QCOMPARE(readFile(path + QStringLiteral(".1")), rotates ? before : QByteArray("older\n"));
}

TAVLO_TEST(TestTraceLog)
#include "tst_tracelog.moc"
