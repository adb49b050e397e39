#include "BuiltPrograms.h"
#include "CrashTranslation.h"
#include "Faults.h"
#include "ProcessRunner.h"
#include "TestRegistry.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <exception>

using namespace Vondra::Testing;

using namespace Vondra;

namespace {

const QString hexAddress = QStringLiteral("0x([0-9A-F]{8,})");

QString firstLinePattern(const QString& name, const QString& module)
{
    return "SE " + name + " at address " + hexAddress + " inside " + module + " loaded at base address " + hexAddress
        + '\n';
}

} // namespace

class TestCrashTranslation : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void faultBecomesException_data();
    void faultBecomesException();
    void callThroughNullBecomesException_data();
    void callThroughNullBecomesException();
    void describeFault_data();
    void describeFault();
    void endOfProcess_data();
    void endOfProcess();
};

void TestCrashTranslation::initTestCase()
{
    // This test thread is the one whose faults are translated.
    installCrashTranslation();
}

void TestCrashTranslation::faultBecomesException_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("rest");
    QTest::newRow("null-pointer write") << "write"
                                        << "EXCEPTION_ACCESS_VIOLATION"
                                        << "Invalid operation: write at address 0x0\n";
    QTest::newRow("integer division by zero") << "divide"
                                              << "EXCEPTION_INT_DIVIDE_BY_ZERO" << QString();
    QTest::newRow("null-pointer write inside the guarded block") << "inline"
                                                                 << "EXCEPTION_ACCESS_VIOLATION"
                                                                 << "Invalid operation: write at address 0x0\n";
#if defined(__x86_64__)
    // Its error code names a selector, not the kind of access.
    QTest::newRow("general-protection fault") << "selector"
                                              << "EXCEPTION_ACCESS_VIOLATION"
                                              << "Invalid operation: read at address 0x0\n";
#endif
    // Once translated, a fault must not leave the next one blocked.
    QTest::newRow("null-pointer write again") << "write"
                                              << "EXCEPTION_ACCESS_VIOLATION"
                                              << "Invalid operation: write at address 0x0\n";
}

void TestCrashTranslation::faultBecomesException()
{
    QFETCH(QString, fault);
    QFETCH(QString, name);
    QFETCH(QString, rest);
    QString text;
    try {
        if (fault == QLatin1String("write")) {
            Faults::writeThroughNull();
        } else if (fault == QLatin1String("inline")) {
            volatile int* volatile target = nullptr;
            *target = 42;
#if defined(__x86_64__)
        } else if (fault == QLatin1String("selector")) {
            Faults::loadKernelSelector();
#endif
        } else {
            Faults::divideByZero(7);
        }
        QFAIL("the fault did not throw");
    } catch (const std::exception& e) {
        text = QString::fromUtf8(e.what());
    }
    const QRegularExpression first('^' + firstLinePattern(name, "(.+)"));
    const QRegularExpressionMatch match = first.match(text);
    QVERIFY2(match.hasMatch(), qPrintable(text));
    QCOMPARE(match.captured(2), QCoreApplication::applicationFilePath());
    QVERIFY2(match.captured(1).toULongLong(nullptr, 16) > match.captured(3).toULongLong(nullptr, 16),
        "the instruction lies above the module's base");
    QCOMPARE(text.mid(match.capturedLength()), rest);
}

void TestCrashTranslation::callThroughNullBecomesException_data()
{
    QTest::addColumn<bool>("inGuardedBlock");
    QTest::newRow("in a called function") << false;
    QTest::newRow("in the guarded block") << true;
}

// The instruction address lies in no module, so the unwinding has to start
// from the caller.
void TestCrashTranslation::callThroughNullBecomesException()
{
    QFETCH(bool, inGuardedBlock);
    QString text;
    try {
        if (inGuardedBlock) {
            void (*volatile target)() = nullptr;
            target();
        } else {
            Faults::callThroughNull();
        }
        QFAIL("the fault did not throw");
    } catch (const std::exception& e) {
        text = QString::fromUtf8(e.what());
    }
    QCOMPARE(text,
        QStringLiteral("SE EXCEPTION_ACCESS_VIOLATION at address 0x00000000 inside <unknown module> loaded at base "
                       "address 0x00000000\nInvalid operation: user-mode data execution prevention (DEP) violation "
                       "at address 0x0\n"));
}

void TestCrashTranslation::describeFault_data()
{
    QTest::addColumn<uint>("code");
    QTest::addColumn<bool>("moduleFound");
    QTest::addColumn<quint64>("kind");
    QTest::addColumn<QString>("expected");

    const QString module = QStringLiteral(" inside C:\\Tavlo\\TavAgent.exe loaded at base address 0x00400000\n");
    QTest::newRow("read") << uint(ExceptionCode::AccessViolation) << true << quint64(0)
                          << "SE EXCEPTION_ACCESS_VIOLATION at address 0x0040A1B2" + module
            + "Invalid operation: read at address 0xdeadbeef\n";
    QTest::newRow("data execution") << uint(ExceptionCode::AccessViolation) << true << quint64(8)
                                    << "SE EXCEPTION_ACCESS_VIOLATION at address 0x0040A1B2" + module
            + "Invalid operation: user-mode data execution prevention (DEP) violation at address 0xdeadbeef\n";
    QTest::newRow("odd access kind") << uint(ExceptionCode::AccessViolation) << true << quint64(3)
                                     << "SE EXCEPTION_ACCESS_VIOLATION at address 0x0040A1B2" + module
            + "Invalid operation: unknown at address 0xdeadbeef\n";
    QTest::newRow("in-page error") << uint(ExceptionCode::InPageError) << true << quint64(1)
                                   << "SE EXCEPTION_IN_PAGE_ERROR at address 0x0040A1B2" + module
            + "Invalid operation: write at address 0xdeadbeef\n"
              "Underlying NTSTATUS code that resulted in the exception 3221225628\n";
    QTest::newRow("unknown code") << 0x12345678u << true << quint64(0)
                                  << "SE UNKNOWN EXCEPTION at address 0x0040A1B2" + module;
    QTest::newRow("no module") << uint(ExceptionCode::Breakpoint) << false << quint64(0)
                               << "SE EXCEPTION_BREAKPOINT at address 0x0040A1B2 inside <unknown module> loaded at "
                                  "base address 0x00000000\n";
}

void TestCrashTranslation::describeFault()
{
    QFETCH(uint, code);
    QFETCH(bool, moduleFound);
    QFETCH(quint64, kind);
    QFETCH(QString, expected);
    FaultRecord fault;
    fault.code = code;
    fault.address = 0x40A1B2;
    fault.moduleFound = moduleFound;
    fault.modulePath = "C:\\Tavlo\\TavAgent.exe";
    fault.moduleBase = 0x400000;
    fault.parameters[0] = std::uintptr_t(kind);
    fault.parameters[1] = 0xdeadbeef;
    fault.parameters[2] = 0xC000009C;
    QCOMPARE(QString::fromStdString(Vondra::describeFault(fault)), expected);
}

void TestCrashTranslation::endOfProcess_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("output");
    QTest::addColumn<int>("signal");

    const QString probe = QRegularExpression::escape(testProgram("agentprobe"));
    QTest::newRow("uncaught translated fault") << "uncaught-fault"
                                               << "terminateHandler: "
            + firstLinePattern("EXCEPTION_ACCESS_VIOLATION", probe) + "Invalid operation: write at address 0x0\n\n"
                                               << int(SIGABRT);
    QTest::newRow("terminate without exception") << "terminate"
                                                 << "terminateHandler: called without an exception\\.\n"
                                                 << int(SIGABRT);
    QTest::newRow("stack overflow") << "stack-overflow"
                                    << "terminateHandler: " + firstLinePattern("EXCEPTION_STACK_OVERFLOW", probe) + '\n'
                                    << int(SIGABRT);
    QTest::newRow("fault on another thread is not translated") << "thread-fault" << QString() << int(SIGSEGV);
}

void TestCrashTranslation::endOfProcess()
{
    QFETCH(QString, mode);
    QFETCH(QString, output);
    QFETCH(int, signal);
    QTemporaryDir dir; // where a core file would go
    QVERIFY(dir.isValid());
    const ProcessRun run = runProcess(testProgram("agentprobe"), { mode }, childEnvironment(dir.path()), dir.path());
    QVERIFY(run.finished);
    QCOMPARE(run.exitStatus, QProcess::CrashExit);
    QCOMPARE(run.exitCode, signal);
    const QString text = QString::fromUtf8(run.standardOutput);
    QVERIFY2(QRegularExpression('^' + output + '$').match(text).hasMatch(), qPrintable(text));
}

TAVLO_TEST(TestCrashTranslation)
#include "tst_crashtranslation.moc"
