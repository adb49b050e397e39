#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class QSettings;

namespace Vondra {

// Where the local bridge listens and which pages may start tools through it,
// as the administrator set them in the agent's settings. Read once, when the
// resident agent starts listening.
class BridgeSettings
{
public:
    static constexpr quint16 defaultPort = 10086;

    // Every local user's pages reach the bridge, but nobody else: the network
    // must not be able to start tools with arguments of its choosing.
    QString address = QStringLiteral("127.0.0.1");
    quint16 port = defaultPort;
    // scheme://host[:port] of the pages that may start tools; empty: every page.
    QStringList allowedOrigins;

    // "listen_address", "listen_port" and "allowed_origins"; a key that is
    // absent, or a port that is not one, keeps its default.
    static BridgeSettings read(const QSettings& settings);

    // Whether a page of this origin (scheme://host[:port], as a browser sends
    // it in "Origin") may start a tool.
    bool allowsLaunchFrom(const QString& origin) const;
    // The origin of the page that sent a request with these header values:
    // Origin when present, otherwise the origin part of Referer, otherwise empty.
    static QString requestOrigin(const QString& originHeader, const QString& refererHeader);
};

} // namespace Vondra
