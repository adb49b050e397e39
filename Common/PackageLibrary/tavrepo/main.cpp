#include "RepositoryTool.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

namespace {

const char usage[] = "usage:\n"
                     "  tavrepo keygen KEYFILE\n"
                     "  tavrepo add REPO NAME VERSION DIR [--platform ID] [--key KEYFILE] [--title T] "
                     "[--description D]\n"
                     "              [--delta-from V]... [--format tar.zst|tar.gz] [--level N]\n"
                     "  tavrepo verify REPO NAME --pub KEYFILE.pub\n"
                     "  tavrepo list REPO NAME\n"
                     "  tavrepo record DIR NAME VERSION [FILE...]\n";

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
    const QCommandLineOption key(QStringLiteral("key"), QStringLiteral("Secret key file"), QStringLiteral("KEYFILE"));
    const QCommandLineOption title(QStringLiteral("title"), QStringLiteral("Package title"), QStringLiteral("T"));
    const QCommandLineOption description(
        QStringLiteral("description"), QStringLiteral("Package description"), QStringLiteral("D"));
    const QCommandLineOption pub(QStringLiteral("pub"), QStringLiteral("Public key file"), QStringLiteral("KEYFILE"));
    const QCommandLineOption deltaFrom(QStringLiteral("delta-from"),
        QStringLiteral("Also write a delta from this older version"), QStringLiteral("V"));
    const QCommandLineOption format(
        QStringLiteral("format"), QStringLiteral("Archive format, tar.zst or tar.gz"), QStringLiteral("FORMAT"));
    const QCommandLineOption level(QStringLiteral("level"), QStringLiteral("Compression level"), QStringLiteral("N"));
    parser.addOptions({ platform, key, title, description, pub, deltaFrom, format, level });
    if (!parser.parse(app.arguments()))
        return badUsage(err, parser.errorText());
    bool levelIsNumber = true;
    const int compressionLevel = parser.isSet(level) ? parser.value(level).toInt(&levelIsNumber) : 0;
    if (!levelIsNumber || (parser.isSet(level) && compressionLevel < 1))
        return badUsage(err, QStringLiteral("--level takes a number from 1 up"));

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    const auto expect = [&](int count) { return args.size() == count + 1; };
    Vondra::RepositoryTool tool(out, err);
    if (command == QLatin1String("keygen") && expect(1))
        return tool.keygen(args.at(1));
    if (command == QLatin1String("add") && expect(4)) {
        const Vondra::RepositoryTool::AddOptions options { parser.value(platform), parser.value(key),
            parser.value(title), parser.value(description), parser.values(deltaFrom), parser.value(format),
            compressionLevel };
        return tool.add(args.at(1), args.at(2), args.at(3), args.at(4), options);
    }
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
