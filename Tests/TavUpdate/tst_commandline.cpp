#include "CommandLine.h"
#include "TestRegistry.h"

#include <QtTest>

using Vondra::CommandLine;
using Vondra::parseCommandLine;

class TestCommandLine : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
};

namespace {

// target: name, version, directory as parsed; flags: s, c, e for silent,
// check-only and restart.
void addRow(const char* tag, const QStringList& arguments, const QStringList& target, const QString& flags,
    const QStringList& restartArguments = QStringList())
{
    QTest::newRow(tag) << arguments << target << flags << restartArguments;
}

} // namespace

void TestCommandLine::parse_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("target");
    QTest::addColumn<QString>("flags");
    QTest::addColumn<QStringList>("restartArguments");

    addRow("agent check", { "-t", "Writer2", "-d", "/opt/Writer2", "-v", "7.0", "-s", "-c" },
        { "writer2", "7.0", "/opt/Writer2" }, "sc");
    addRow("only the first letter counts", { "-tool", "Tool", "-version", "1.0", "-dir", "D", "-silent", "-check" },
        { "tool", "1.0", "D" }, "sc");
    addRow("glued value is not a value", { "-tTool", "-v", "1.0", "-d", "D" }, { "-v", "", "D" }, "");
    addRow("value option takes an option-like value", { "-t", "-s", "-v", "-c", "-d", "-e" }, { "-s", "-c", "-e" }, "");
    addRow("options are case-sensitive, others ignored",
        { "-T", "x", "-S", "-", "stray", "-q", "-t", "a", "-v", "1", "-d", "D" }, { "a", "1", "D" }, "");
    addRow("restart value keeps empty parts", { "-e", "a+b++c" }, { "", "", "" }, "e", { "a", "b", "", "c" });
    addRow("restart does not take an option", { "-e", "-s" }, { "", "", "" }, "se");
    addRow("restart value starting with a quote", { "-e", "\"x y\"+z" }, { "", "", "" }, "e", { "\"x y\"", "z" });
    addRow("later restart value replaces, bare restart keeps", { "-e", "a+b", "-e", "c", "-e" }, { "", "", "" }, "e",
        { "c" });
    addRow("repeated option overrides", { "-t", "A", "-t", "B", "-v", "1", "-v", "2" }, { "b", "2", "" }, "");
    addRow("value option last is missing", { "-v", "1", "-d", "D", "-t" }, { "", "1", "D" }, "");
    addRow(
        "value option last clears an earlier value", { "-t", "A", "-v", "1", "-d", "D", "-t" }, { "", "1", "D" }, "");
}

void TestCommandLine::parse()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, target);
    QFETCH(QString, flags);
    QFETCH(QStringList, restartArguments);

    arguments.prepend(QStringLiteral("/opt/TavAgent/TavUpdate"));
    const CommandLine parsed = parseCommandLine(arguments);
    QCOMPARE(parsed.arguments.name, target.at(0));
    QCOMPARE(parsed.arguments.version, target.at(1));
    QCOMPARE(parsed.arguments.directory, target.at(2));
    QCOMPARE(parsed.silent, flags.contains(QLatin1Char('s')));
    QCOMPARE(parsed.checkOnly, flags.contains(QLatin1Char('c')));
    QCOMPARE(parsed.restart, flags.contains(QLatin1Char('e')));
    QCOMPARE(parsed.restartArguments, restartArguments);
    QCOMPARE(parsed.arguments.isComplete(), !target.contains(QString()));
}

TAVLO_TEST(TestCommandLine)

#include "tst_commandline.moc"
