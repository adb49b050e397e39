#include "PackageRecord.h"
#include "QuickRecordReader.h"
#include "TestFiles.h"
#include "TestRegistry.h"

#include "Updater/PackagesInfo.h"
#include "Updater/Target.h"
#include "Updater/Task.h"
#include "Updater/UpdateSourcesInfo.h"
#include "Updater/Version.h"

#include <QAtomicInt>
#include <QFile>
#include <QSaveFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <limits>
#include <memory>
#include <vector>

using namespace Updater;
using Vondra::Testing::readFile;
using Vondra::Testing::writeFile;

class TestVersion : public QObject
{
    Q_OBJECT

private slots:
    void compare_data();
    void compare();
    void validity();
};

void TestVersion::compare_data()
{
    QTest::addColumn<QString>("a");
    QTest::addColumn<QString>("b");
    QTest::addColumn<int>("expected");

    QTest::newRow("numeric, not textual") << "1.10"
                                          << "1.9" << 1;
    QTest::newRow("missing parts are zero") << "2"
                                            << "2.0" << 0;
    QTest::newRow("more parts") << "1.0.1"
                                << "1.0" << 1;
    QTest::newRow("leading zeros") << "1.02"
                                   << "1.2" << 0;
    QTest::newRow("placeholder loses to anything real") << "0.0"
                                                        << "0.0.1" << -1;
    QTest::newRow("placeholder equals empty") << "0.0"
                                              << "" << 0;
    QTest::newRow("longer than 64 bits") << "1.99999999999999999999999"
                                         << "1.99999999999999999999998" << 1;
    QTest::newRow("junk part is zero") << "1.x"
                                       << "1.0" << 0;
    QTest::newRow("major wins") << "10.0"
                                << "9.99" << 1;
}

void TestVersion::compare()
{
    QFETCH(QString, a);
    QFETCH(QString, b);
    QFETCH(int, expected);
    QCOMPARE(Version::compare(a, b), expected);
    QCOMPARE(Version::compare(b, a), -expected);
}

void TestVersion::validity()
{
    QVERIFY(Version::isValid("1.10.3"));
    QVERIFY(Version::isValid("7"));
    QVERIFY(!Version::isValid(""));
    QVERIFY(!Version::isValid("1..2"));
    QVERIFY(!Version::isValid("1.2-beta"));
    QVERIFY(!Version::isValid(" 1.2"));
}

class TestRecord : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void missingRecordIsEmpty();
    void roundTripKeepsEverything();
    void installDates();
    void deletingTheFileEmptiesTheRecord();
    void directoryInPlaceOfTheRecordIsNotDamage();
    void damagedRecordReadsAsEmpty_data();
    void damagedRecordReadsAsEmpty();
    void everyTruncationReadsAsOldOrEmpty();
    void failedSaveKeepsMemoryAndFile();
    void modifiedFlagDecidesWhatSourcesAreStored();
    void readersNeverSeeAHalfWrittenRecord();
    void quickReaderAgreesWithXmlReader_data();
    void quickReaderAgreesWithXmlReader();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString recordPath() const { return m_dir->filePath(PackagesInfo::recordFileName()); }
};

void TestRecord::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
}

void TestRecord::missingRecordIsEmpty()
{
    Target target("tool");
    target.setDirectory(m_dir->path());
    QCOMPARE(target.packagesInfo()->packageInfoCount(), 0);
    QCOMPARE(target.packagesInfo()->findPackageInfo("tool"), -1);
    QVERIFY(target.packagesInfo()->errorString().isEmpty());
    QVERIFY(target.packagesInfo()->packageInfo(3).name().isEmpty());
}

void TestRecord::roundTripKeepsEverything()
{
    const QString oddText = QString::fromUtf8("Zápis <&> \"quoted\"\nsecond line\ttab") + QChar(0x1F600);
    {
        Target target("tool");
        target.setDirectory(m_dir->path());
        PackagesInfo* info = target.packagesInfo();
        info->setTargetName("tool7");
        info->setTargetVersion("7.0.1");
        // A control character cannot be stored in XML; it is dropped rather
        // than making the whole record unreadable.
        QVERIFY2(info->installPackage(
                     "tool", "1.10", oddText + QChar(0x01), oddText, { "tool.exe", "data/ä b.txt" }, 1234567890123ULL),
            qPrintable(info->errorString()));
        QVERIFY(info->installPackage("extra", "0.0", "", "", {}, 0));
    }
    Target target("tool");
    target.setDirectory(m_dir->path());
    const PackagesInfo* info = target.packagesInfo();
    QVERIFY2(info->errorString().isEmpty(), qPrintable(info->errorString()));
    QCOMPARE(info->targetName(), QString("tool7"));
    QCOMPARE(info->targetVersion(), QString("7.0.1"));
    QCOMPARE(info->packageInfoCount(), 2);
    const PackageInfo tool = info->packageInfo(info->findPackageInfo("tool"));
    QCOMPARE(tool.version(), QString("1.10"));
    QCOMPARE(tool.title(), oddText);
    QCOMPARE(tool.description(), oddText);
    QCOMPARE(tool.files(), QStringList({ "tool.exe", "data/ä b.txt" }));
    QCOMPARE(tool.size(), 1234567890123ULL);
    QVERIFY(info->packageInfo(info->findPackageInfo("extra")).isPlaceholder());
}

// The placeholder carries no dates; the first real install sets both, and
// later updates move only the last-update date.
void TestRecord::installDates()
{
    PackagesInfo info;
    info.setDirectory(m_dir->path());
    QVERIFY(info.installPackage("tool", "0.0", "", "", {}, 0));
    QVERIFY(!info.packageInfo(0).installDate().isValid());

    QVERIFY(info.installPackage("tool", "1.0", "Tool", "", { "tool.exe" }, 10));
    QCOMPARE(info.packageInfo(0).installDate(), QDate::currentDate());

    // Pretend the first install was long ago.
    QByteArray bytes = readFile(info.fileName());
    const QByteArray today = QDate::currentDate().toString(Qt::ISODate).toLatin1();
    bytes.replace("installDate=\"" + today + "\"", "installDate=\"2020-02-29\"");
    bytes.replace("lastUpdateDate=\"" + today + "\"", "lastUpdateDate=\"2021-01-01\"");
    QVERIFY(writeFile(info.fileName(), bytes));
    QVERIFY(info.reload());
    QCOMPARE(info.packageInfo(0).lastUpdateDate(), QDate(2021, 1, 1));

    QVERIFY(info.installPackage("tool", "1.10", "Tool", "", { "tool.exe" }, 12));
    PackagesInfo reread;
    reread.setDirectory(m_dir->path());
    QCOMPARE(reread.packageInfo(0).installDate(), QDate(2020, 2, 29));
    QCOMPARE(reread.packageInfo(0).lastUpdateDate(), QDate::currentDate());
    QCOMPARE(reread.packageInfo(0).version(), QString("1.10"));
}

void TestRecord::deletingTheFileEmptiesTheRecord()
{
    PackagesInfo info;
    info.setDirectory(m_dir->path());
    QVERIFY(info.installPackage("tool", "0.0", "", "", {}, 0));
    QVERIFY(QFile::remove(info.fileName()));
    QVERIFY(info.reload());
    QCOMPARE(info.packageInfoCount(), 0);
}

// Nothing to set aside: the record cannot be read, which is no damage.
void TestRecord::directoryInPlaceOfTheRecordIsNotDamage()
{
    QVERIFY(QDir().mkpath(recordPath()));
    PackagesInfo info;
    info.setDirectory(m_dir->path() + "/");
    QCOMPARE(info.fileName(), recordPath());
    QVERIFY(!info.reload());
    QCOMPARE(info.packageInfoCount(), 0);
    QVERIFY2(info.errorString().startsWith("cannot read the package record " + recordPath()),
        qPrintable(info.errorString()));
}

void TestRecord::damagedRecordReadsAsEmpty_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray head = "<?xml version=\"1.0\"?><packageRecord format=\"1\">";
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("binary junk") << QByteArray("\x00\xff\xfe garbage \x01", 14);
    QTest::newRow("other XML") << QByteArray("<html><body/></html>");
    QTest::newRow("newer format") << QByteArray("<packageRecord format=\"2\"/>");
    QTest::newRow("unclosed") << head + "<package name=\"a\" version=\"1\">";
    QTest::newRow("nameless package") << head + "<package version=\"1\"/></packageRecord>";
    QTest::newRow("same package twice") << head
            + "<package name=\"a\" version=\"1\"/><package name=\"a\" version=\"2\"/></packageRecord>";
    QTest::newRow("bad size") << head + "<package name=\"a\" version=\"1\" size=\"-3\"/></packageRecord>";
    QTest::newRow("bad date") << head
            + "<package name=\"a\" version=\"1\" installDate=\"2021-13-45\"/></packageRecord>";
    QTest::newRow("junk after the record") << head + "</packageRecord><more/>";
    QTest::newRow("too large to read") << QByteArray(16 * 1024 * 1024 + 1, ' ');

    // Shapes that cost Qt's reader time out of all proportion, or hide what
    // the record says from a reading of its bytes.
    QByteArray attributes;
    for (int i = 0; i < 31; ++i)
        attributes += " a" + QByteArray::number(i) + "=\"1\"";
    QTest::newRow("33 attributes") << head + "<package name=\"a\" version=\"1\"" + attributes + "/></packageRecord>";
    QTest::newRow("17 deep") << head + "<package name=\"a\" version=\"1\">" + QByteArray("<x>").repeated(15)
            + QByteArray("</x>").repeated(15) + "</package></packageRecord>";
    QTest::newRow("document type") << "<!DOCTYPE packageRecord [<!ATTLIST package size CDATA \"1\">]>" + head.mid(21)
            + "<package name=\"a\" version=\"1\"/></packageRecord>";
    const QString record = QString::fromLatin1(head + "<package name=\"a\" version=\"1\"/></packageRecord>");
    QTest::newRow("UTF-16") << QByteArray("\xff\xfe")
            + QByteArray(reinterpret_cast<const char*>(record.utf16()), int(record.size() * sizeof(ushort)));
    QTest::newRow("latin-1") << QByteArray(head).replace("?>", " encoding=\"ISO-8859-1\"?>")
            + "<package name=\"\xe4\" version=\"1\"/></packageRecord>";
}

void TestRecord::damagedRecordReadsAsEmpty()
{
    QFETCH(QByteArray, bytes);
    QVERIFY(writeFile(recordPath(), bytes));
    Target target("a");
    target.setDirectory(m_dir->path());
    QCOMPARE(target.packagesInfo()->packageInfoCount(), 0);
    QVERIFY(target.packagesInfo()->targetName().isEmpty());
    QVERIFY(target.packagesInfo()->errorString().contains(recordPath()));

    // Registering anew sets the damaged record aside instead of losing it.
    QVERIFY(target.packagesInfo()->installPackage("a", "0.0", "", "", {}, 0));
    QCOMPARE(readFile(recordPath() + ".damaged"), bytes);
}

void TestRecord::everyTruncationReadsAsOldOrEmpty()
{
    PackagesInfo writer;
    writer.setDirectory(m_dir->path());
    writer.setTargetName("tool7");
    QVERIFY(writer.installPackage("tool", "1.2.3", "Tool", "A tool", { "a", "b/c" }, 42));
    QVERIFY(writer.installPackage("other", "2.0", "Other", "", {}, 1));
    const QByteArray full = readFile(writer.fileName());
    const QList<PackageInfo> expected = writer.packageInfos();

    int complete = 0;
    for (int length = 0; length < full.size(); ++length) {
        QVERIFY(writeFile(recordPath(), full.left(length)));
        PackagesInfo reader;
        reader.setDirectory(m_dir->path());
        if (reader.errorString().isEmpty()) {
            QCOMPARE(reader.packageInfos(), expected);
            ++complete;
        } else {
            QCOMPARE(reader.packageInfoCount(), 0);
        }
    }
    // Only cutting the trailing line break may still give the whole record.
    QVERIFY(complete <= 1);
}

void TestRecord::failedSaveKeepsMemoryAndFile()
{
    const QString directory = m_dir->filePath("tool");
    QVERIFY(QDir().mkpath(directory));
    PackagesInfo info;
    info.setDirectory(directory);
    QVERIFY(info.installPackage("tool", "1.0", "", "", {}, 0));
    const QByteArray before = readFile(info.fileName());

    // The directory goes away under the record: the save fails, and what the
    // object says is still what the (moved) file says.
    QVERIFY(QDir().rename(directory, m_dir->filePath("moved")));
    QVERIFY(!info.installPackage("tool", "2.0", "", "", {}, 0));
    QVERIFY(info.errorString().contains(info.fileName()));
    QCOMPARE(info.packageInfoCount(), 1);
    QCOMPARE(info.packageInfo(0).version(), QString("1.0"));
    QVERIFY(!info.removePackage("tool"));
    QCOMPARE(info.packageInfoCount(), 1);
    QCOMPARE(readFile(m_dir->filePath("moved/Packages.xml")), before);
}

// TavUpdate adds its repository for one run and clears the flag; the record
// must not keep it. A caller that leaves the flag set stores its sources.
void TestRecord::modifiedFlagDecidesWhatSourcesAreStored()
{
    {
        Target target("tool");
        target.setDirectory(m_dir->path());
        target.addUpdateSource("tool", "tool", "stored", QUrl("http://example.invalid/stored/tool"), 2);
        QVERIFY(target.updateSourcesInfo()->isModified());
        QVERIFY(target.packagesInfo()->installPackage("tool", "0.0", "", "", {}, 0));
        QVERIFY(!target.updateSourcesInfo()->isModified());
    }
    {
        Target target("tool");
        target.setDirectory(m_dir->path());
        QCOMPARE(target.updateSourcesInfo()->updateSourceInfoCount(), 1);
        target.addUpdateSource("run", "run", "this run only", QUrl("http://example.invalid/run/tool"), 1);
        target.updateSourcesInfo()->setModified(false);
        QCOMPARE(target.updateSourcesInfo()->updateSourceInfo(0).name, QString("run"));
        QVERIFY(target.packagesInfo()->installPackage("tool", "1.0", "", "", {}, 0));
        QCOMPARE(target.updateSourcesInfo()->updateSourceInfoCount(), 2);
    }
    Target target("tool");
    target.setDirectory(m_dir->path());
    QCOMPARE(target.updateSourcesInfo()->updateSourceInfoCount(), 1);
    const UpdateSourceInfo stored = target.updateSourcesInfo()->updateSourceInfo(0);
    QCOMPARE(stored.description, QString("stored"));
    QCOMPARE(stored.url, QUrl("http://example.invalid/stored/tool"));
    QCOMPARE(stored.priority, 2);
    QVERIFY(!target.updateSourcesInfo()->isModified());
}

namespace {

class RecordReader : public QThread
{
public:
    RecordReader(const QString& directory, const std::atomic<bool>* stop)
        : m_directory(directory)
        , m_stop(stop)
    {
    }
    int reads = 0;
    QString failure;

protected:
    void run() override
    {
        while (!m_stop->load() && failure.isEmpty()) {
            Target target("tool");
            target.setDirectory(m_directory);
            const PackagesInfo* info = target.packagesInfo();
            const int count = info->packageInfoCount();
            if (!info->errorString().isEmpty())
                failure = info->errorString();
            else if (count != 1 && count != 40)
                failure = QStringLiteral("saw %1 packages").arg(count);
            else if (info->findPackageInfo("tool") < 0)
                failure = QStringLiteral("lost the package tool");
            ++reads;
        }
    }

private:
    QString m_directory;
    const std::atomic<bool>* m_stop;
};

} // namespace

void TestRecord::readersNeverSeeAHalfWrittenRecord()
{
    // Two whole records, one small and one large, saved in turn.
    QTemporaryDir staging;
    PackagesInfo large;
    large.setDirectory(staging.path());
    QStringList files;
    for (int i = 0; i < 200; ++i)
        files << QStringLiteral("some/rather/long/path/to/file%1.dat").arg(i);
    QVERIFY(large.installPackage("tool", "1.0", "", "", files, 0));
    for (int i = 1; i < 40; ++i)
        QVERIFY(large.installPackage(QStringLiteral("package%1").arg(i), "1.0", "", "", files, 0));
    QVERIFY(QFile::copy(large.fileName(), recordPath()));
    large.setDirectory(m_dir->path());
    PackagesInfo small;
    small.setDirectory(m_dir->path());
    QVERIFY(small.removePackage("package1"));
    for (int i = 2; i < 40; ++i)
        QVERIFY(small.removePackage(QStringLiteral("package%1").arg(i)));

    std::atomic<bool> stop { false };
    std::vector<std::unique_ptr<RecordReader>> readers;
    for (int i = 0; i < 4; ++i) {
        readers.push_back(std::make_unique<RecordReader>(m_dir->path(), &stop));
        // The agent reads records inside coroutines with 64 KiB stacks.
        readers.back()->setStackSize(64 * 1024);
        readers.back()->start();
    }
    for (int round = 0; round < 50; ++round) {
        QVERIFY(large.save());
        QVERIFY(small.save());
    }
    stop = true;
    for (auto& reader : readers) {
        reader->wait();
        QVERIFY2(reader->failure.isEmpty(), qPrintable(reader->failure));
        QVERIFY(reader->reads > 0);
    }
}

namespace {

PackageRecord writtenRecord()
{
    PackageRecord record;
    record.targetName = "tool7";
    record.targetVersion = "7.0.1";
    PackageInfo tool("tool", "1.10");
    tool.setTitle("Tool");
    tool.setDescription("A tool\nin two lines");
    tool.setFiles({ "tool.exe", "data/a b.txt" });
    tool.setSize(1234567);
    tool.setInstallDate(QDate(2020, 2, 29));
    tool.setLastUpdateDate(QDate(2026, 12, 7));
    record.packages << tool << PackageInfo("extra", "0.0");
    UpdateSourceInfo source;
    source.name = "main";
    source.title = "Main";
    source.url = QUrl("https://updates.example/tool?x=1&y=2");
    source.priority = -3;
    record.sources << source;
    return record;
}

} // namespace

void TestRecord::quickReaderAgreesWithXmlReader_data()
{
    QTest::addColumn<QByteArray>("bytes");
    // Whether the quick reader must take it: our writer's own records, else
    // it does not pay for itself.
    QTest::addColumn<bool>("quick");

    const PackageRecord plain = writtenRecord();
    QTest::newRow("written") << plain.serialize() << true;
    QTest::newRow("written, empty") << PackageRecord().serialize() << true;
    const QStringList oddTexts { "<&>\"'", "]]>", "a]]b>c", "tab\there",
        QString::fromUtf8("Zápis 文件 \xf0\x9f\x98\x80"), QString("lone ") + QChar(0xD800),
        QString("control ") + QChar(0x01) + QChar(0x7F), "line\r\nend", "&#65;&amp;", QString(QChar(0xFEFF)) + "bom",
        QString("C1 ") + QChar(0x85) + QChar(0x9F), QString(QChar(0xFDD0)) + QString::fromUcs4(U"\U0001FFFE"),
        QString(QChar(0xFFFD)), "  padded  " };
    for (const QString& odd : oddTexts) {
        PackageRecord record = plain;
        record.packages[0].setTitle(odd);
        record.packages[0].setFiles({ odd });
        record.sources[0].description = odd;
        QTest::addRow("written, text %s", qPrintable(odd.toUtf8().toPercentEncoding())) << record.serialize() << false;
        record = plain;
        record.targetName = odd;
        record.packages[0].setName(odd);
        record.packages[0].setVersion(odd);
        QTest::addRow("written, attributes %s", qPrintable(odd.toUtf8().toPercentEncoding()))
            << record.serialize() << false;
    }
    PackageRecord large = plain;
    large.packages[0].setSize(std::numeric_limits<quint64>::max());
    QTest::newRow("written, largest size") << large.serialize() << false;
    for (int i = 0; i < 70; ++i)
        large.packages << PackageInfo(QStringLiteral("p%1").arg(i), "1.0");
    QTest::newRow("written, many packages") << large.serialize() << false;

    const QByteArray full = plain.serialize();
    for (int length = 0; length < full.size(); length += 7)
        QTest::addRow("cut at %d", length) << full.left(length) << false;

    const QByteArray head = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<packageRecord format=\"1\">";
    const QByteArray tail = "</packageRecord>\n";
    const auto package = [&](const QByteArray& attributes, const QByteArray& content = {}) -> QByteArray {
        return head + "<package name=\"a\" version=\"1\" " + attributes + ">" + content + "</package>" + tail;
    };
    const QList<QPair<const char*, QByteArray>> edited {
        { "no declaration", "<packageRecord format=\"1\"><package name=\"a\" version=\"1\"/></packageRecord>" },
        { "declaration after space", " " + head + tail },
        { "standalone", "<?xml version=\"1.0\" standalone=\"yes\"?><packageRecord format=\"1\"/>" },
        { "latin-1",
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><packageRecord format=\"1\">"
            "<package name=\"\xe4\" version=\"1\"/></packageRecord>" },
        { "utf-8 in lower case", "<?xml version=\"1.0\" encoding=\"utf-8\"?><packageRecord format=\"1\"/>" },
        { "byte order mark", "\xef\xbb\xbf" + head + tail },
        { "crlf", "<?xml version=\"1.0\"?>\r\n<packageRecord format=\"1\">\r\n</packageRecord>\r\n" },
        { "comment", head + "<!-- note -->" + tail },
        { "comment after the root", head + tail + "<!-- note -->" },
        { "processing instruction", head + "<?pi data?>" + tail },
        { "doctype with entity",
            "<?xml version=\"1.0\"?><!DOCTYPE packageRecord [<!ENTITY e \"x\">]>"
            "<packageRecord format=\"1\"><package name=\"&e;\" version=\"1\"/></packageRecord>" },
        { "cdata title", package("", "<title><![CDATA[<b>]]></title>") },
        { "predefined entities",
            head + "<package name=\"&apos;&quot;&lt;&gt;&amp;\" version=\"1\">"
                + "<title>&apos;&quot;&lt;&gt;&amp;</title></package>" + tail },
        { "character reference", package("", "<title>&#65;&#x42;</title>") },
        { "null character reference", package("", "<title>&#0;</title>") },
        { "unknown entity", package("", "<title>&nbsp;</title>") },
        { "bare ampersand", package("", "<title>a & b</title>") },
        { "cdata end in text", package("", "<title>a]]>b</title>") },
        { "escaped cdata end", package("", "<title>a]]&gt;b</title>") },
        { "element in title", package("", "<title>a<b/>c</title>") },
        { "text in package", package("", "loose text") },
        { "unknown element", package("", "<icon>x</icon>") },
        { "unknown root child", head + "<extra/>" + tail },
        { "text in root", head + "words" + tail },
        { "duplicate attribute", head + "<package name=\"a\" name=\"b\" version=\"1\"/>" + tail },
        { "single quotes", head + "<package name='a' version='1'/>" + tail },
        { "spaces around =", head + "<package name = \"a\" version=\"1\"/>" + tail },
        { "unquoted value", head + "<package name=a version=\"1\"/>" + tail },
        { "no space between attributes", head + "<package name=\"a\"version=\"1\"/>" + tail },
        { "tab in attribute", package("size=\"1\tx\"") },
        { "line feed in attribute", head + "<package name=\"a\nb\" version=\"1\"/>" + tail },
        { "less-than in attribute", head + "<package name=\"a<b\" version=\"1\"/>" + tail },
        { "greater-than in attribute", head + "<package name=\"a>b\" version=\"1\"/>" + tail },
        { "namespace", head + "<package xmlns=\"urn:x\" name=\"a\" version=\"1\"/>" + tail },
        { "prefixed name", head + "<t:package xmlns:t=\"urn:x\" name=\"a\" version=\"1\"/>" + tail },
        { "other attributes", head + "<package name=\"a\" version=\"1\" colour=\"red\"/>" + tail },
        { "tab between attributes", head + "<package\tname=\"a\"\nversion=\"1\" />" + tail },
        { "space in end tag", package("", "<title>t</title >") },
        { "mismatched end tag", head + "<package name=\"a\" version=\"1\"></packag>" + tail },
        { "two roots", head + tail + head + tail },
        { "junk after the root", head + tail + "x" },
        { "no root", "<?xml version=\"1.0\"?>" },
        { "other root", "<record format=\"1\"/>" },
        { "format 2", "<packageRecord format=\"2\"/>" },
        { "no format", "<packageRecord/>" },
        { "nameless package", head + "<package version=\"1\"/>" + tail },
        { "versionless package", head + "<package name=\"a\"/>" + tail },
        { "same package twice", head + "<package name=\"a\"/><package name=\"a\"/>" + tail },
        { "nameless source", head + "<source url=\"http://x\"/>" + tail },
        { "target with content", head + "<target name=\"t\">x</target>" + tail },
        { "two targets", head + "<target name=\"t\"/><target name=\"u\" version=\"2\"/>" + tail },
        { "two titles", package("", "<title>one</title><title>two</title>") },
        { "empty title", package("", "<title/><description></description><file/>") },
        { "leap day", package("installDate=\"2024-02-29\"") },
        { "no leap day", package("installDate=\"2023-02-29\"") },
        { "short date", package("installDate=\"2026-3-1\"") },
        { "year zero", package("installDate=\"0000-01-01\"") },
        { "slashed date", package("installDate=\"2026/03/01\"") },
        { "date and time", package("lastUpdateDate=\"2026-03-01T10:00:00\"") },
        { "empty date", package("installDate=\"\"") },
        { "size with plus", package("size=\"+5\"") },
        { "size with space", package("size=\" 5\"") },
        { "size with zeros", package("size=\"007\"") },
        { "largest size", package("size=\"18446744073709551615\"") },
        { "size too large", package("size=\"18446744073709551616\"") },
        { "negative size", package("size=\"-1\"") },
        { "empty size", package("size=\"\"") },
        { "priority with plus", head + "<source name=\"s\" priority=\"+1\"/>" + tail },
        { "priority junk", head + "<source name=\"s\" priority=\"1x\"/>" + tail },
        { "priority too large", head + "<source name=\"s\" priority=\"99999999999\"/>" + tail },
        { "priority minus zero", head + "<source name=\"s\" priority=\"-0\"/>" + tail },
        { "invalid utf-8", package("", "<title>\xc3\x28</title>") },
        { "overlong utf-8", package("", "<title>\xc0\xaf</title>") },
        { "encoded surrogate", package("", "<title>\xed\xa0\x80</title>") },
        { "U+FFFE", package("", "<title>\xef\xbf\xbe</title>") },
        { "beyond U+10FFFF", package("", "<title>\xf4\x90\x80\x80</title>") },
        { "control character", package("", "<title>\x01</title>") },
        { "empty file", QByteArray() },
    };
    for (const auto& row : edited)
        QTest::newRow(row.first) << row.second << false;

    QByteArray attributes;
    for (int i = 0; i < 30; ++i)
        attributes += QByteArray(" a") + char('a' + i / 26) + char('a' + i % 26) + "=\"1\"";
    QTest::newRow("32 attributes") << package(attributes) << true;
    QTest::newRow("33 attributes") << package(attributes + " b=\"1\"") << false;
}

// The quick reader either declines or gives exactly what the XML reader
// gives; and parse() gives what the XML reader gives, damage included.
void TestRecord::quickReaderAgreesWithXmlReader()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, quick);

    PackageRecord viaXml;
    QString xmlError;
    const bool xmlRead = PackageRecord::parseXml(bytes, &viaXml, &xmlError);
    PackageRecord viaQuick;
    const bool quickRead = QuickRecordReader::read(bytes, &viaQuick);
    if (quick)
        QVERIFY2(quickRead, "the quick reader declined a record our writer wrote");
    if (quickRead) {
        QVERIFY2(xmlRead, qPrintable("the XML reader finds it damaged: " + xmlError));
        QVERIFY(viaQuick == viaXml);
    } else {
        QVERIFY(viaQuick == PackageRecord());
    }

    PackageRecord parsed;
    QString error;
    QCOMPARE(PackageRecord::parse(bytes, &parsed, &error), xmlRead);
    QVERIFY(parsed == viaXml);
    QCOMPARE(error, xmlError);
}

// A task whose work is driven by a timer, finishing later from the event loop.
class TimedTask : public Task
{
    Q_OBJECT

public:
    int starts = 0;
    int aborts = 0;
    bool nestedRunResult = true;
    QTimer timer;

    TimedTask()
    {
        timer.setSingleShot(true);
        connect(&timer, &QTimer::timeout, this, [this] { finish(true); });
    }

protected:
    void start() override
    {
        ++starts;
        nestedRunResult = run();
        timer.start(50);
    }
    void abort() override
    {
        ++aborts;
        timer.stop();
        QTimer::singleShot(0, this, [this] { finish(false); });
    }
};

class ImmediateTask : public Task
{
    Q_OBJECT

public:
    bool outcome = true;

protected:
    void start() override
    {
        if (!outcome)
            fail(FormatError, "broken at once");
        finish(outcome);
    }
};

class TestTask : public QObject
{
    Q_OBJECT

private slots:
    void runWaitsWhileEventsFlow();
    void stopAbortsOnceAndReportsCancel();
    void stopOutsideARunDoesNothing();
    void immediateFinish();
};

void TestTask::runWaitsWhileEventsFlow()
{
    TimedTask task;
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
    ticker.start(5);
    QSignalSpy finished(&task, &Task::finished);
    QVERIFY(task.run());
    QVERIFY(!task.nestedRunResult);
    QVERIFY2(ticks > 1, "the event loop did not run during run()");
    QVERIFY(!task.isRunning());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QVERIFY(task.errorString().isEmpty());
}

void TestTask::stopAbortsOnceAndReportsCancel()
{
    TimedTask task;
    task.timer.setInterval(10000);
    QSignalSpy errors(&task, &Task::error);
    QTimer::singleShot(20, &task, [&] {
        task.stop();
        task.stop();
    });
    QVERIFY(!task.run());
    QCOMPARE(task.aborts, 1);
    QVERIFY(task.wasStopped());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(errors.at(0).at(0).toInt(), int(Task::CancelledError));
    QVERIFY(!task.errorString().isEmpty());

    // A new run starts afresh.
    task.timer.setInterval(10);
    QVERIFY(task.run());
    QVERIFY(!task.wasStopped());
    QVERIFY(task.errorString().isEmpty());
}

void TestTask::stopOutsideARunDoesNothing()
{
    TimedTask task;
    task.stop();
    QCOMPARE(task.aborts, 0);
    QVERIFY(!task.wasStopped());
    QVERIFY(task.run());
    task.stop();
    QCOMPARE(task.aborts, 0);
}

void TestTask::immediateFinish()
{
    ImmediateTask task;
    QVERIFY(task.run());
    task.outcome = false;
    QSignalSpy errors(&task, &Task::error);
    QVERIFY(!task.run());
    QCOMPARE(errors.count(), 1);
    QCOMPARE(task.errorString(), QString("broken at once"));
}

TAVLO_TEST(TestVersion)
TAVLO_TEST(TestRecord)
TAVLO_TEST(TestTask)
#include "tst_record.moc"
