#pragma once

#include <QString>

namespace Updater {

// text with every control character written as an escape ("\x1b", "\x0a";
// the line and paragraph separators as "\u2028", "\u2029"). Servers, archives
// and indexes choose the texts that end up in our errors and logs; escaped,
// they can neither drive a terminal nor start a forged log entry. Applying it
// twice changes nothing more.
QString printableText(const QString& text);

} // namespace Updater
