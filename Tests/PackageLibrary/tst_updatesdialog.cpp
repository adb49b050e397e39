#include "TestRegistry.h"

#include "Updater/Update.h"
#include "Updater/UpdatesDialog.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include <memory>
#include <vector>

using namespace Updater;

namespace {

std::unique_ptr<Update> makeUpdate(const QString& name, const QString& installed, const QString& version, quint64 size)
{
    auto update = std::make_unique<Update>();
    update->packageName = name;
    update->title = name.toUpper();
    update->description = QStringLiteral("What %1 %2 brings\nand more").arg(name, version);
    update->installedVersion = installed;
    update->version = version;
    update->archiveSize = size;
    return update;
}

QTreeWidgetItem* rowOf(UpdatesDialog& dialog, const QString& title)
{
    const auto items = dialog.findChild<QTreeWidget*>()->findItems(title, Qt::MatchExactly);
    return items.isEmpty() ? nullptr : items.first();
}

// Presses a button of whatever modal dialog is open once exec() has started.
void pressLater(QDialogButtonBox::StandardButton which)
{
    QTimer::singleShot(0, [which] {
        QWidget* dialog = QApplication::activeModalWidget();
        QVERIFY(dialog);
        QDialogButtonBox* buttons = dialog->findChild<QDialogButtonBox*>();
        QVERIFY(buttons && buttons->button(which));
        buttons->button(which)->click();
    });
}

} // namespace

class TestUpdatesDialog : public QObject
{
    Q_OBJECT

private slots:
    void listsEveryUpdateChecked();
    void checkboxesDecide();
    void okAndCancel();
};

void TestUpdatesDialog::listsEveryUpdateChecked()
{
    const auto tool = makeUpdate("tool", "1.9", "1.10", 3 * 1024 * 1024);
    const auto viewer = makeUpdate("viewer", "0.0", "2.0", 512);
    UpdatesDialog dialog;
    dialog.setUpdates({ tool.get(), viewer.get() });

    QTreeWidgetItem* row = rowOf(dialog, "TOOL");
    QVERIFY(row);
    QCOMPARE(dialog.findChild<QTreeWidget*>()->topLevelItemCount(), 2);
    QStringList texts;
    for (int column = 0; column < row->columnCount(); ++column)
        texts << row->text(column);
    QCOMPARE(texts, QStringList({ "TOOL", "1.9", "1.10", "3.00 MiB", "What tool 1.10 brings" }));
    QVERIFY(row->toolTip(4).contains("and more"));
    QVERIFY(rowOf(dialog, "VIEWER")->text(1) != "0.0");
    QVERIFY(dialog.isUpdateAllowed(tool.get()));
    QVERIFY(dialog.isUpdateAllowed(viewer.get()));

    // A new list replaces the old one; updates not shown are not allowed.
    dialog.setUpdates({ viewer.get() });
    QCOMPARE(dialog.findChild<QTreeWidget*>()->topLevelItemCount(), 1);
    QVERIFY(!dialog.isUpdateAllowed(tool.get()));
    QVERIFY(!dialog.isUpdateAllowed(nullptr));
}

void TestUpdatesDialog::checkboxesDecide()
{
    const auto tool = makeUpdate("tool", "1.0", "1.1", 10);
    const auto viewer = makeUpdate("viewer", "1.0", "1.1", 10);
    UpdatesDialog dialog;
    dialog.setUpdates({ tool.get(), viewer.get() });
    rowOf(dialog, "TOOL")->setCheckState(0, Qt::Unchecked);
    QVERIFY(!dialog.isUpdateAllowed(tool.get()));
    QVERIFY(dialog.isUpdateAllowed(viewer.get()));
}

void TestUpdatesDialog::okAndCancel()
{
    const auto tool = makeUpdate("tool", "1.0", "1.1", 10);
    UpdatesDialog dialog;
    dialog.setUpdates({ tool.get() });

    pressLater(QDialogButtonBox::Ok);
    QCOMPARE(dialog.exec(), 1);

    // Accepting with nothing selected is a valid answer: install nothing.
    rowOf(dialog, "TOOL")->setCheckState(0, Qt::Unchecked);
    pressLater(QDialogButtonBox::Ok);
    QCOMPARE(dialog.exec(), 1);
    QVERIFY(!dialog.isUpdateAllowed(tool.get()));

    pressLater(QDialogButtonBox::Cancel);
    QCOMPARE(dialog.exec(), 0);
}

TAVLO_TEST(TestUpdatesDialog)
#include "tst_updatesdialog.moc"
