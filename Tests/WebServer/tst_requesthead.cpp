#include "RequestHead.h"
#include "TestRegistry.h"

#include <QtTest>

#include <clocale>

using Http::ContentLength;

namespace {

QString describe(const Http::Headers& headers)
{
    QStringList entries;
    for (const auto& [name, value] : headers)
        entries << QString::fromStdString(name + "=[" + value + "]");
    entries.sort();
    return entries.join(QLatin1Char(' '));
}

} // namespace

class TestRequestHead : public QObject
{
    Q_OBJECT

private slots:
    void requestLine_data();
    void requestLine();
    void headerLines_data();
    void headerLines();
    void headerNamesIgnoreCase();
    void headEndAcrossReads();
    void contentLength_data();
    void contentLength();
    void keepsAlive_data();
    void keepsAlive();
    void versionIgnoresProcessLocale();
};

void TestRequestHead::requestLine_data()
{
    QTest::addColumn<QByteArray>("head");
    QTest::addColumn<bool>("parsed");
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("version");

    QTest::newRow("plain") << QByteArray("GET /a?b=c#d HTTP/1.1\r\n\r\n") << true << "GET"
                           << "/a?b=c#d"
                           << "1.1";
    QTest::newRow("method kept as sent") << QByteArray("get / HTTP/1.0\r\n\r\n") << true << "get"
                                         << "/"
                                         << "1.0";
    QTest::newRow("bare LF keeps the last digit") << QByteArray("GET / HTTP/1.1\nA: b\r\n\r\n") << true << "GET"
                                                  << "/"
                                                  << "1.1";
    QTest::newRow("empty version") << QByteArray("GET / HTTP/\r\n\r\n") << true << "GET"
                                   << "/" << QString();
    QTest::newRow("one space") << QByteArray("GET /\r\n\r\n") << false << QString() << QString() << QString();
    QTest::newRow("no slash") << QByteArray("GET / HTTP\r\n\r\n") << false << QString() << QString() << QString();
    QTest::newRow("lower-case protocol") << QByteArray("GET / http/1.1\r\n\r\n") << false << QString() << QString()
                                         << QString();
    QTest::newRow("other protocol") << QByteArray("GET / HTTPS/1.1\r\n\r\n") << false << QString() << QString()
                                    << QString();
    QTest::newRow("empty") << QByteArray() << false << QString() << QString() << QString();
}

void TestRequestHead::requestLine()
{
    QFETCH(QByteArray, head);
    QFETCH(bool, parsed);

    Http::RequestHead result;
    QCOMPARE(Http::parse_head(std::string_view(head.constData(), std::size_t(head.size())), result), parsed);
    if (!parsed)
        return;
    QTEST(QString::fromStdString(result.method), "method");
    QTEST(QString::fromStdString(result.path), "path");
    QTEST(QString::fromStdString(result.protocol_version), "version");
}

void TestRequestHead::headerLines_data()
{
    QTest::addColumn<QByteArray>("lines");
    QTest::addColumn<QString>("headers");

    QTest::newRow("no space after colon") << QByteArray("A:value\r\n") << "A=[value]";
    QTest::newRow("two spaces keep one") << QByteArray("A:  value\r\n") << "A=[ value]";
    QTest::newRow("colon then CR is empty") << QByteArray("A:\r\n") << "A=[]";
    QTest::newRow("colon last is not stored") << QByteArray("A:\nB: b\r\n") << "B=[b]";
    QTest::newRow("colon and space last is not stored") << QByteArray("A: \nB: b\r\n") << "B=[b]";
    QTest::newRow("value keeps later colons") << QByteArray("Host: h:80\r\n") << "Host=[h:80]";
    QTest::newRow("colon-less line ends the head") << QByteArray("A: a\r\nnot a header\r\nB: b\r\n") << "A=[a]";
    QTest::newRow("repeated name") << QByteArray("A: 1\r\na: 2\r\n") << "A=[1] a=[2]";
    QTest::newRow("empty name") << QByteArray(": v\r\n") << "=[v]";
}

void TestRequestHead::headerLines()
{
    QFETCH(QByteArray, lines);

    const QByteArray head = "GET / HTTP/1.1\r\n" + lines + "\r\n";
    Http::RequestHead result;
    QVERIFY(Http::parse_head(std::string_view(head.constData(), std::size_t(head.size())), result));
    QTEST(describe(result.headers), "headers");
}

void TestRequestHead::headerNamesIgnoreCase()
{
    Http::Headers headers;
    headers.emplace("Content-Type", "a");
    headers.emplace("CONTENT-TYPE", "b");
    headers.emplace("Content-Typf", "c");
    QCOMPARE(headers.count("content-type"), std::size_t(2));
    QVERIFY(Http::CaseInsensitiveHash()("X-Name") == Http::CaseInsensitiveHash()("x-nAME"));
    QVERIFY(!Http::equalsIgnoringCase("\xc9", "\xe9")); // only ASCII letters fold
}

// The head is searched as it grows; a delimiter split between two reads must
// still be found, and one already searched past must not be found twice.
void TestRequestHead::headEndAcrossReads()
{
    const std::string data = "GET / HTTP/1.1\r\nA: b\r\n\r\nbody";
    for (std::size_t split = 0; split <= data.size(); ++split) {
        const std::size_t first = Http::find_head_end(std::string_view(data).substr(0, split));
        const std::size_t end = first != 0 ? first : Http::find_head_end(data, split);
        QCOMPARE(end, std::size_t(24));
    }
    QCOMPARE(Http::find_head_end("GET / HTTP/1.1\n\n"), std::size_t(0));
}

void TestRequestHead::contentLength_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<int>("result");
    QTest::addColumn<quint64>("length");

    const int declared = int(ContentLength::Declared);
    const int malformed = int(ContentLength::Malformed);
    QTest::newRow("none") << QStringList() << int(ContentLength::Absent) << quint64(0);
    QTest::newRow("digits") << QStringList { "42" } << declared << quint64(42);
    QTest::newRow("digits then letters") << QStringList { "12abc" } << declared << quint64(12);
    QTest::newRow("leading blanks") << QStringList { "  7" } << declared << quint64(7);
    QTest::newRow("no digits") << QStringList { "abc" } << malformed << quint64(0);
    QTest::newRow("empty") << QStringList { "" } << malformed << quint64(0);
    QTest::newRow("out of range") << QStringList { "99999999999999999999999" } << malformed << quint64(0);
    QTest::newRow("repeated, same") << QStringList { "5", "5" } << declared << quint64(5);
    QTest::newRow("repeated, differing") << QStringList { "5", "6" } << malformed << quint64(0);
}

void TestRequestHead::contentLength()
{
    QFETCH(QStringList, values);
    QFETCH(int, result);

    Http::Headers headers;
    for (const QString& value : values)
        headers.emplace("content-LENGTH", value.toStdString());
    std::uint64_t length = 0;
    QCOMPARE(int(Http::parse_content_length(headers, length)), result);
    if (result == int(ContentLength::Declared))
        QTEST(quint64(length), "length");
}

void TestRequestHead::keepsAlive_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("connection");
    QTest::addColumn<bool>("keepsAlive");

    QTest::newRow("1.1") << "1.1" << QString() << true;
    QTest::newRow("2") << "2" << QString() << true;
    QTest::newRow("1.0") << "1.0" << QString() << false;
    QTest::newRow("1.0 asking to keep") << "1.0"
                                        << "keep-alive" << false;
    QTest::newRow("1.05 is below 1.05 as float") << "1.05" << QString() << false;
    QTest::newRow("not a number") << "x.y" << QString() << false;
    QTest::newRow("close") << "1.1"
                           << "close" << false;
    QTest::newRow("CLOSE") << "1.1"
                           << "CLOSE" << false;
    QTest::newRow("close among words") << "1.1"
                                       << "keep-alive, close" << true;
}

void TestRequestHead::keepsAlive()
{
    QFETCH(QString, version);
    QFETCH(QString, connection);

    Http::Headers headers;
    if (!connection.isNull())
        headers.emplace("connection", connection.toStdString());
    QTEST(Http::keeps_alive(version.toStdString(), headers), "keepsAlive");
}

// Qt programs take LC_NUMERIC from the environment; a decimal comma there
// must not turn every 1.1 client into a 1.0 one.
void TestRequestHead::versionIgnoresProcessLocale()
{
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (!std::setlocale(LC_NUMERIC, "de_DE.UTF-8") && !std::setlocale(LC_NUMERIC, "fr_FR.UTF-8"))
        QSKIP("no locale with a decimal comma installed");
    const bool keeps = Http::keeps_alive("1.1", {});
    std::setlocale(LC_NUMERIC, previous.c_str());
    QVERIFY(keeps);
}

TAVLO_TEST(TestRequestHead)
#include "tst_requesthead.moc"
