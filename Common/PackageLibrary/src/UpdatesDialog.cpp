#include "Updater/UpdatesDialog.h"

#include "Updater/Update.h"
#include "Updater/Version.h"

#include <QDialogButtonBox>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace Updater {

class UpdatesDialogPrivate
{
public:
    QLabel* intro = nullptr;
    QTreeWidget* tree = nullptr;
    QHash<const Update*, QTreeWidgetItem*> items;
};

namespace {

enum Column { PackageColumn, InstalledColumn, NewVersionColumn, SizeColumn, DescriptionColumn, ColumnCount };

// The description column shows the first line; the tooltip has all of it.
QString firstLine(const QString& text)
{
    return text.section(QLatin1Char('\n'), 0, 0).trimmed();
}

} // namespace

UpdatesDialog::UpdatesDialog(QWidget* parent)
    : QDialog(parent)
    , d(std::make_unique<UpdatesDialogPrivate>())
{
    setWindowTitle(tr("Available updates"));

    d->intro = new QLabel(this);
    d->intro->setWordWrap(true);
    d->intro->setText(tr("These updates are ready to install. Clear the box of any you want to leave for later."));

    d->tree = new QTreeWidget(this);
    d->tree->setColumnCount(ColumnCount);
    d->tree->setHeaderLabels({ tr("Package"), tr("Installed"), tr("New version"), tr("Size"), tr("Description") });
    d->tree->setRootIsDecorated(false);
    d->tree->setUniformRowHeights(true);
    d->tree->setSelectionMode(QAbstractItemView::NoSelection);
    d->tree->header()->setStretchLastSection(true);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(d->intro);
    layout->addWidget(d->tree);
    layout->addWidget(buttons);
    resize(760, 340);
}

UpdatesDialog::~UpdatesDialog() = default;

void UpdatesDialog::setUpdates(const QList<Update*>& updates)
{
    d->tree->clear();
    d->items.clear();
    const QLocale locale;
    for (const Update* update : updates) {
        if (!update)
            continue;
        auto* item = new QTreeWidgetItem(d->tree);
        const QString title = update->title.isEmpty() ? update->packageName : update->title;
        const bool firstInstall = Version::compare(update->installedVersion, Version::placeholder()) == 0;
        item->setText(PackageColumn, title);
        item->setToolTip(PackageColumn, update->packageName);
        item->setText(InstalledColumn, firstInstall ? tr("not installed") : update->installedVersion);
        item->setText(NewVersionColumn, update->version);
        item->setText(SizeColumn, locale.formattedDataSize(qint64(update->archiveSize)));
        item->setTextAlignment(SizeColumn, Qt::AlignRight | Qt::AlignVCenter);
        item->setText(DescriptionColumn, firstLine(update->description));
        item->setToolTip(DescriptionColumn, update->description);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
        item->setCheckState(PackageColumn, Qt::Checked);
        d->items.insert(update, item);
    }
    for (int column = 0; column < DescriptionColumn; ++column)
        d->tree->resizeColumnToContents(column);
}

bool UpdatesDialog::isUpdateAllowed(const Update* update) const
{
    const QTreeWidgetItem* item = d->items.value(update);
    return item && item->checkState(PackageColumn) == Qt::Checked;
}

} // namespace Updater
