#include "JsonpAnswer.h"

#include <Updater/PackageInfo.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

namespace Vondra {

namespace {

QString isoDate(const QDate& date)
{
    return date.isValid() ? date.toString(Qt::ISODate) : QString();
}

} // namespace

JsonpAnswer::Callback JsonpAnswer::requested(const QString& query)
{
    const int mark = query.indexOf(QLatin1Char('?'));
    QString items = query.right(query.length() - mark - 1);
    if (items.isEmpty())
        return Callback::None;
    items.replace(QStringLiteral("%40"), QStringLiteral("@"), Qt::CaseInsensitive);
    const QString callback = QUrlQuery(items).queryItemValue(QStringLiteral("callback"), QUrl::PrettyDecoded);
    if (callback == QLatin1String("sharestatus"))
        return Callback::ShareStatus;
    if (callback == QLatin1String("tavinfo"))
        return Callback::TavInfo;
    return Callback::None;
}

std::string JsonpAnswer::shareStatus()
{
    return framed("sharestatus({ \"message\":\"done\" })\r\n");
}

std::string JsonpAnswer::packageInfo(const QList<Updater::PackageInfo>& packages)
{
    QJsonArray list;
    for (const Updater::PackageInfo& package : packages) {
        list.append(QJsonObject {
            { QStringLiteral("name"), package.name() },
            { QStringLiteral("version"), package.version() },
            { QStringLiteral("install_date"), isoDate(package.installDate()) },
            { QStringLiteral("last_update_date"), isoDate(package.lastUpdateDate()) },
        });
    }
    return framed("tavinfo(" + QJsonDocument(list).toJson(QJsonDocument::Compact).toStdString() + ")\r\n");
}

std::string JsonpAnswer::framed(const std::string& body)
{
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size())
        + "\r\nContent-Type: application/json\r\n\r\n" + body;
}

} // namespace Vondra
