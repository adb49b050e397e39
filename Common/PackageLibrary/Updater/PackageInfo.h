#pragma once

#include "TavUpdaterGlobal.h"

#include <QDate>
#include <QString>
#include <QStringList>

namespace Updater {

// One installed package as the record keeps it; a plain value.
class TAVUPDATER_EXPORT PackageInfo
{
public:
    PackageInfo() = default;
    PackageInfo(const QString& name, const QString& version);

    QString name() const { return m_name; }
    void setName(const QString& name) { m_name = name; }
    QString title() const { return m_title; }
    void setTitle(const QString& title) { m_title = title; }
    QString description() const { return m_description; }
    void setDescription(const QString& description) { m_description = description; }
    QString version() const { return m_version; }
    void setVersion(const QString& version) { m_version = version; }
    QDate installDate() const { return m_installDate; }
    void setInstallDate(const QDate& date) { m_installDate = date; }
    QDate lastUpdateDate() const { return m_lastUpdateDate; }
    void setLastUpdateDate(const QDate& date) { m_lastUpdateDate = date; }
    quint64 size() const { return m_size; }
    void setSize(quint64 size) { m_size = size; }
    // Files the package installed, relative to the target directory, '/'-separated.
    QStringList files() const { return m_files; }
    void setFiles(const QStringList& files) { m_files = files; }

    bool isPlaceholder() const;
    bool operator==(const PackageInfo& other) const;
    bool operator!=(const PackageInfo& other) const { return !(*this == other); }

private:
    QString m_name;
    QString m_title;
    QString m_description;
    QString m_version;
    QDate m_installDate;
    QDate m_lastUpdateDate;
    quint64 m_size = 0;
    QStringList m_files;
};

} // namespace Updater
