#include "CommandLine.h"

namespace Vondra {

namespace {

bool isOption(const QString& argument)
{
    return argument.startsWith(QLatin1Char('-'));
}

} // namespace

CommandLine parseCommandLine(const QStringList& processArguments)
{
    CommandLine result;
    const int count = processArguments.size();
    int i = 1;
    // A value option takes the next argument whatever it looks like; standing
    // last it has no value, and the target then lacks that part.
    const auto takeValue = [&] { return ++i < count ? processArguments.at(i) : QString(); };
    const auto nextIsValue = [&] { return i + 1 < count && !isOption(processArguments.at(i + 1)); };

    for (; i < count; ++i) {
        const QString& argument = processArguments.at(i);
        if (!isOption(argument) || argument.size() < 2)
            continue;
        switch (argument.at(1).unicode()) {
        case 't':
            result.arguments.name = takeValue().toLower();
            break;
        case 'v':
            result.arguments.version = takeValue();
            break;
        case 'd':
            result.arguments.directory = takeValue();
            break;
        case 's':
            result.silent = true;
            break;
        case 'c':
            result.checkOnly = true;
            break;
        case 'e':
            result.restart = true;
            if (nextIsValue())
                result.restartArguments = takeValue().split(QLatin1Char('+'));
            break;
        default:
            break;
        }
    }
    return result;
}

} // namespace Vondra
