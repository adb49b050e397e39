#include "RepositoryTool.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

const char usage[] = "usage:\n"
                     "  tavrepo keygen KEYFILE\n"
                     "  tavrepo add REPO NAME VERSION DIR [--platform ID] [--key KEYFILE ...] [--title T] "
                     "[--description D] [--delta-from V]... [--expires-in DAYS]\n"
                     "              [--format tar.zst|tar.gz] [--level N]\n"
                     "  tavrepo resign REPO --key KEYFILE [--key KEYFILE ...] [--expires-in DAYS]\n"
                     "  tavrepo verify REPO NAME --pub KEYFILE.pub\n"
                     "  tavrepo list REPO NAME\n"
                     "  tavrepo record DIR NAME VERSION [FILE...]\n";

// A hundred years: beyond that, expiry is not what the operator meant.
const int maximumExpiryDays = 36500;

// The highest level of any format; add checks the chosen format's own.
const int maximumLevel = Vondra::ArchiveWriter::maximumLevel(Vondra::ArchiveWriter::Format::TarZstd);

// A numeric option from 1 to maximum; *value stays 0 when it is not given.
bool numberOption(const QCommandLineParser& parser, const QCommandLineOption& option, int maximum, int* value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    *value = parser.value(option).toInt(&ok);
    return ok && *value >= 1 && *value <= maximum;
}

int badUsage(QTextStream& err, const QString& problem)
{
    err << "tavrepo: " << problem << '\n' << usage;
    err.flush();
    return Vondra::RepositoryTool::BadInput;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrepo"));
    QTextStream out(stdout);
    QTextStream err(stderr);

    QCommandLineParser parser;
    const QCommandLineOption platform(
        QStringLiteral("platform"), QStringLiteral("Platform identifier"), QStringLiteral("ID"));
    const QCommandLineOption key(
        QStringLiteral("key"), QStringLiteral("Secret key file, once per signing key"), QStringLiteral("KEYFILE"));
    const QCommandLineOption title(QStringLiteral("title"), QStringLiteral("Package title"), QStringLiteral("T"));
    const QCommandLineOption description(
        QStringLiteral("description"), QStringLiteral("Package description"), QStringLiteral("D"));
    const QCommandLineOption pub(QStringLiteral("pub"), QStringLiteral("Public key file"), QStringLiteral("KEYFILE"));
    const QCommandLineOption deltaFrom(QStringLiteral("delta-from"),
        QStringLiteral("Also write a delta from this older version"), QStringLiteral("V"));
    const QCommandLineOption expiresIn(
        QStringLiteral("expires-in"), QStringLiteral("Days until the index expires"), QStringLiteral("DAYS"));
    const QCommandLineOption format(
        QStringLiteral("format"), QStringLiteral("Archive format, tar.zst or tar.gz"), QStringLiteral("FORMAT"));
    const QCommandLineOption level(QStringLiteral("level"), QStringLiteral("Compression level"), QStringLiteral("N"));
    parser.addOptions({ platform, key, title, description, pub, deltaFrom, expiresIn, format, level });
    if (!parser.parse(app.arguments()))
        return badUsage(err, parser.errorText());
    int expiryDays = 0;
    if (!numberOption(parser, expiresIn, maximumExpiryDays, &expiryDays))
        return badUsage(err, QStringLiteral("--expires-in takes a number of days from 1 to %1").arg(maximumExpiryDays));
    int compressionLevel = 0;
    if (!numberOption(parser, level, maximumLevel, &compressionLevel))
        return badUsage(err, QStringLiteral("--level takes a number from 1 to %1").arg(maximumLevel));

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    const auto expect = [&](int count) { return args.size() == count + 1; };
    Vondra::RepositoryTool tool(out, err);
    if (command == QLatin1String("keygen") && expect(1))
        return tool.keygen(args.at(1));
    if (command == QLatin1String("add") && expect(4)) {
        const Vondra::RepositoryTool::AddOptions options { parser.value(platform), parser.values(key),
            parser.value(title), parser.value(description), parser.values(deltaFrom), expiryDays, parser.value(format),
            compressionLevel };
        return tool.add(args.at(1), args.at(2), args.at(3), args.at(4), options);
    }
    if (command == QLatin1String("resign") && expect(1))
        return tool.resign(args.at(1), parser.values(key), expiryDays);
    if (command == QLatin1String("verify") && expect(2))
        return tool.verify(args.at(1), args.at(2), parser.value(pub));
    if (command == QLatin1String("list") && expect(2))
        return tool.list(args.at(1), args.at(2));
    if (command == QLatin1String("record") && args.size() >= 4)
        return tool.record(args.at(1), args.at(2), args.at(3), args.mid(4));
    return badUsage(err,
        command.isEmpty() ? QStringLiteral("no command given")
                          : QStringLiteral("wrong command or number of arguments"));
}
