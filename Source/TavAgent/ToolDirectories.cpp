#include "ToolDirectories.h"

#include <algorithm>
#include <utility>

namespace Vondra {

QVector<ToolDirectories::Entry> ToolDirectories::list(const QString& directory)
{
    const QVector<Entry> entries = read(directory);
    // QDir compares the lower-cased names.
    QVector<std::pair<QString, int>> keys;
    keys.reserve(entries.size());
    for (int i = 0; i < entries.size(); ++i)
        keys.append({ entries.at(i).name.toLower(), i });
    std::sort(keys.begin(), keys.end());
    QVector<Entry> sorted;
    sorted.reserve(entries.size());
    for (const auto& key : qAsConst(keys))
        sorted.append(entries.at(key.second));
    return sorted;
}

} // namespace Vondra
