#include "Updater/PackagesInfo.h"

#include "PackagesInfo_p.h"
#include "Updater/UpdateSourcesInfo.h"
#include "Updater/Version.h"
#include "WholeFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QThread>

namespace Updater {

namespace {

// A record is a few kilobytes; anything this large is not one, and reading it
// whole must not exhaust the memory of the agent's request threads.
constexpr qint64 maximumRecordSize = 16 * 1024 * 1024;

// Where another process holds the record open while we replace it (Windows
// readers do), the rename fails for a moment; a few tries ride that out.
constexpr int saveAttempts = 5;
constexpr unsigned long saveRetryDelayMs = 20;

const QString damagedSuffix = QStringLiteral(".damaged");

QString trText(const char* text)
{
    return QCoreApplication::translate("Updater::PackagesInfo", text);
}

bool writeFileAtomically(const QString& fileName, const QByteArray& bytes, QString* error)
{
    for (int attempt = 1;; ++attempt) {
        QSaveFile file(fileName);
        if (file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.commit())
            return true;
        *error = file.errorString();
        file.cancelWriting();
        if (attempt == saveAttempts || !QFileInfo(fileName).dir().exists())
            return false;
        QThread::msleep(saveRetryDelayMs);
    }
}

// Moved, not copied, so that a record too large to read is kept as well.
bool setDamagedRecordAside(const QString& fileName, QString* error)
{
    QFile record(fileName);
    if (!record.exists())
        return true;
    const QString damagedName = fileName + damagedSuffix;
    QFile::remove(damagedName);
    if (!record.rename(damagedName)) {
        *error = trText("cannot keep the damaged package record %1 aside as %2: %3")
                     .arg(fileName, damagedName, record.errorString());
        return false;
    }
    return true;
}

// The path QDir(directory).filePath(recordFileName()) gives, without building
// a QDir on every read of a record.
QString recordPath(const QString& directory)
{
    if (directory.isEmpty())
        return QString();
    QString path = QDir::fromNativeSeparators(directory);
    // QDir drops one trailing separator, then joins with one unless the path
    // still ends in one ("/", "dir//").
    if (path.endsWith(QLatin1Char('/')) && path.size() > 1)
        path.chop(1);
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path + PackagesInfo::recordFileName();
}

} // namespace

PackagesInfo::PackagesInfo()
    : d(std::make_unique<PackagesInfoPrivate>())
{
}

PackagesInfo::~PackagesInfo() = default;

void PackagesInfo::setDirectory(const QString& directory)
{
    d->directory = directory;
    d->fileName = recordPath(directory);
    reload();
}

QString PackagesInfo::directory() const
{
    return d->directory;
}

QString PackagesInfo::fileName() const
{
    return d->fileName;
}

bool PackagesInfo::reload()
{
    d->record = PackageRecord();
    d->damaged = false;
    d->errorString.clear();
    if (d->directory.isEmpty())
        return true;

    // One read of the whole file, then parsing: the file may be replaced at
    // any moment, and a single read sees one version of it.
    QByteArray bytes;
    QString problem;
    switch (WholeFile::read(d->fileName, maximumRecordSize, &bytes, &problem)) {
    case WholeFile::Missing:
        return true;
    case WholeFile::CannotOpen:
        d->errorString = trText("cannot read the package record %1: %2").arg(d->fileName, problem);
        return false;
    case WholeFile::TooLarge:
        problem = trText("it is too large");
        break;
    case WholeFile::CannotRead:
        break;
    case WholeFile::Read:
        if (PackageRecord::parse(bytes, &d->record, &problem))
            return true;
        break;
    }
    d->record = PackageRecord();
    d->damaged = true;
    d->errorString = trText("the package record %1 is damaged: %2").arg(d->fileName, problem);
    return false;
}

bool PackagesInfo::save()
{
    d->errorString.clear();
    if (d->directory.isEmpty()) {
        d->errorString = trText("cannot write the package record: no directory was set");
        return false;
    }
    PackageRecord record = d->record;
    const bool sourcesPending = d->sources && d->sources->isModified();
    if (sourcesPending)
        record.sources = d->sources->updateSourceInfos();

    // A damaged record is not lost without a trace: whoever wants to mend it
    // by hand finds it beside the new one.
    if (d->damaged && !setDamagedRecordAside(fileName(), &d->errorString))
        return false;
    QString problem;
    if (!writeFileAtomically(fileName(), record.serialize(), &problem)) {
        if (d->damaged)
            QFile::rename(fileName() + damagedSuffix, fileName()); // the file stays what it was
        d->errorString = trText("cannot write the package record %1: %2").arg(fileName(), problem);
        return false;
    }
    d->damaged = false;
    d->record = record;
    if (sourcesPending)
        d->sources->setModified(false);
    return true;
}

QString PackagesInfo::errorString() const
{
    return d->errorString;
}

QString PackagesInfo::targetName() const
{
    return d->record.targetName;
}

void PackagesInfo::setTargetName(const QString& name)
{
    d->record.targetName = name;
}

QString PackagesInfo::targetVersion() const
{
    return d->record.targetVersion;
}

void PackagesInfo::setTargetVersion(const QString& version)
{
    d->record.targetVersion = version;
}

int PackagesInfo::packageInfoCount() const
{
    return d->record.packages.size();
}

int PackagesInfo::findPackageInfo(const QString& name) const
{
    for (int i = 0; i < d->record.packages.size(); ++i) {
        if (d->record.packages.at(i).name() == name)
            return i;
    }
    return -1;
}

PackageInfo PackagesInfo::packageInfo(int index) const
{
    return d->record.packages.value(index);
}

QList<PackageInfo> PackagesInfo::packageInfos() const
{
    return d->record.packages;
}

bool PackagesInfo::installPackage(const QString& name, const QString& version, const QString& title,
    const QString& description, const QStringList& files, quint64 size)
{
    PackageInfo package(name, version);
    package.setTitle(title);
    package.setDescription(description);
    package.setFiles(files);
    package.setSize(size);

    // The install date is that of the first real install: a placeholder has
    // none, and replacing it is that first install.
    const QDate today = QDate::currentDate();
    const int index = findPackageInfo(name);
    const PackageInfo previous = packageInfo(index);
    if (!package.isPlaceholder()) {
        const bool installedBefore = index >= 0 && !previous.isPlaceholder() && previous.installDate().isValid();
        package.setInstallDate(installedBefore ? previous.installDate() : today);
        package.setLastUpdateDate(today);
    }

    const QList<PackageInfo> before = d->record.packages;
    if (index >= 0)
        d->record.packages[index] = package;
    else
        d->record.packages.append(package);
    if (save())
        return true;
    d->record.packages = before;
    return false;
}

bool PackagesInfo::removePackage(const QString& name)
{
    const int index = findPackageInfo(name);
    if (index < 0) {
        d->errorString = trText("no package named \"%1\" is recorded").arg(name);
        return false;
    }
    const QList<PackageInfo> before = d->record.packages;
    d->record.packages.removeAt(index);
    if (save())
        return true;
    d->record.packages = before;
    return false;
}

} // namespace Updater
