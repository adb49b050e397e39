#pragma once

#include <QList>
#include <QString>

#include <string>

namespace Updater {
class PackageInfo;
}

namespace Vondra {

// The bridge's JSONP answers as complete HTTP responses, and which one a
// request asks for. Pure functions: no socket, no file, safe from any thread.
//
// Every answer is "HTTP/1.1 200 OK", a Content-Length in bytes, a Content-Type
// of application/json and the body: the callback's name, "(", the JSON, ")\r\n".
class JsonpAnswer
{
public:
    enum class Callback { None, ShareStatus, TavInfo };

    // The answer a query asks for through its "callback" item; query is the
    // request target without the leading "/" and without a fragment.
    static Callback requested(const QString& query);

    // The same 106 bytes for every launch request, whatever becomes of it.
    static std::string shareStatus();
    // The packages as a JSON array of name, version, install_date and
    // last_update_date.
    static std::string packageInfo(const QList<Updater::PackageInfo>& packages);

private:
    static std::string framed(const std::string& body);
};

} // namespace Vondra
