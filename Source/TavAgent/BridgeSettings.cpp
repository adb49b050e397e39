#include "BridgeSettings.h"

#include <QDebug>
#include <QSettings>
#include <QUrl>

namespace Vondra {

namespace {

const QString addressKey = QStringLiteral("listen_address");
const QString portKey = QStringLiteral("listen_port");
const QString originsKey = QStringLiteral("allowed_origins");

// Scheme and host in lower case and the port always written out, so that
// "HTTPS://Example.org" and "https://example.org:443" are one origin.
QString canonicalOrigin(const QString& text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty())
        return QString();
    const int defaultPort = url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
    return url.scheme().toLower() + QLatin1String("://") + url.host().toLower() + QLatin1Char(':')
        + QString::number(url.port(defaultPort));
}

} // namespace

BridgeSettings BridgeSettings::read(const QSettings& settings)
{
    BridgeSettings result;
    const QString address = settings.value(addressKey).toString().trimmed();
    if (!address.isEmpty())
        result.address = address;
    if (settings.contains(portKey)) {
        bool ok = false;
        const uint port = settings.value(portKey).toString().trimmed().toUInt(&ok);
        if (ok && port > 0 && port <= 0xffff)
            result.port = quint16(port);
        else
            qWarning() << "ignoring" << portKey << settings.value(portKey).toString() << ": not a port";
    }
    // QSettings reads "a, b" as a list and "a" as a text.
    for (const QString& entry : settings.value(originsKey).toStringList()) {
        const QString origin = canonicalOrigin(entry);
        if (!origin.isEmpty())
            result.allowedOrigins << origin;
        else if (!entry.trimmed().isEmpty())
            qWarning() << "ignoring" << originsKey << "entry" << entry << ": not scheme://host[:port]";
    }
    return result;
}

bool BridgeSettings::allowsLaunchFrom(const QString& origin) const
{
    if (allowedOrigins.isEmpty())
        return true;
    const QString canonical = canonicalOrigin(origin);
    return !canonical.isEmpty() && allowedOrigins.contains(canonical);
}

QString BridgeSettings::requestOrigin(const QString& originHeader, const QString& refererHeader)
{
    if (!originHeader.isEmpty())
        return originHeader;
    const QUrl referer(refererHeader, QUrl::StrictMode);
    if (!referer.isValid() || referer.host().isEmpty())
        return QString();
    return referer.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
        .toString();
}

} // namespace Vondra
