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
    for (int i = 1; i < count; ++i) {
        const QString& argument = processArguments.at(i);
        if (!isOption(argument) || argument.size() < 2)
            continue;

        const bool hasNext = i + 1 < count;
        // A value option at the very end has no value; the target then lacks it.
        const QString next = hasNext ? processArguments.at(i + 1) : QString();
        switch (argument.at(1).unicode()) {
        case 't':
            result.arguments.name = next.toLower();
            i += hasNext;
            break;
        case 'v':
            result.arguments.version = next;
            i += hasNext;
            break;
        case 'd':
            result.arguments.directory = next;
            i += hasNext;
            break;
        case 's':
            result.silent = true;
            break;
        case 'c':
            result.checkOnly = true;
            break;
        case 'e':
            result.restart = true;
            if (hasNext && !isOption(next)) {
                result.restartArguments = next.split(QLatin1Char('+'));
                ++i;
            }
            break;
        default:
            break;
        }
    }
    return result;
}

} // namespace Vondra
