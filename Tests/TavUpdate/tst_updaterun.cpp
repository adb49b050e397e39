#include "ProductConfig.h"
#include "RunUpdate.h"
#include "TavUpdater.h"
#include "TestFiles.h"
#include "TestRegistry.h"
#include "TestRepository.h"

#include <Updater/PackagesInfo.h>
#include <Updater/UpdatesDialog.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QProgressDialog>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <functional>
#include <memory>

using namespace Vondra::Testing;
using Vondra::UpdateArguments;

namespace {

// Acts once on the first visible top-level widget of type T, from the event
// loop that the modal dialog or the library's task runs meanwhile. Polling ends
// with the returned timer, so a dialog that never came cannot leak into the
// next test.
template <typename T> std::unique_ptr<QTimer> whenVisible(const std::function<void(T*)>& action)
{
    auto timer = std::make_unique<QTimer>();
    QTimer* poll = timer.get();
    QObject::connect(poll, &QTimer::timeout, [poll, action] {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            if (auto* found = qobject_cast<T*>(widget); found && found->isVisible()) {
                poll->stop();
                action(found);
                return;
            }
        }
    });
    poll->start(20);
    return timer;
}

void uncheckEverything(QWidget* dialog)
{
    for (QCheckBox* box : dialog->findChildren<QCheckBox*>())
        box->setChecked(false);
    for (QAbstractItemView* view : dialog->findChildren<QAbstractItemView*>()) {
        QAbstractItemModel* model = view->model();
        for (int row = 0; model && row < model->rowCount(); ++row) {
            for (int column = 0; column < model->columnCount(); ++column) {
                const QModelIndex index = model->index(row, column);
                if (model->flags(index) & Qt::ItemIsUserCheckable)
                    model->setData(index, Qt::Unchecked, Qt::CheckStateRole);
            }
        }
    }
}

void clickOk(QDialog* dialog)
{
    for (QDialogButtonBox* box : dialog->findChildren<QDialogButtonBox*>()) {
        if (QPushButton* ok = box->button(QDialogButtonBox::Ok)) {
            ok->click();
            return;
        }
    }
    dialog->accept();
}

QByteArray noise(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (char& byte : bytes) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = char(state);
    }
    return bytes;
}

} // namespace

class TestUpdateRun : public QObject
{
    Q_OBJECT

private slots:
    // "./updater.log" of the runs goes into a directory of the test's own.
    void initTestCase();
    void cleanupTestCase();
    void baseUrl_data();
    void baseUrl();
    void errorLogKeepsTextVerbatim();
    void registersNewTargetOnce();
    void selectionDialog_data();
    void selectionDialog();
    void cancelRestoresTarget();

private:
    QTemporaryDir m_work;
    QString m_previousDirectory;
};

void TestUpdateRun::initTestCase()
{
    m_previousDirectory = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_work.path()));
    // The test repositories are unsigned, as development repositories are.
    const QString keyFile = m_work.filePath(QStringLiteral("update_key.pub"));
    QVERIFY(writeFile(keyFile, TestRepository::allowUnsignedKeyFile()));
    qputenv("TAVUPDATER_KEY_FILE", keyFile.toLocal8Bit());
}

void TestUpdateRun::cleanupTestCase()
{
    qunsetenv("TAVUPDATER_KEY_FILE");
    QDir::setCurrent(m_previousDirectory);
}

void TestUpdateRun::baseUrl_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");

    QTest::newRow("missing") << "none" << QByteArray()
                             << QStringLiteral("http://%1/tavlo/").arg(QLatin1String(Vondra::Product::serviceHost));
    QTest::newRow("blanks and further lines")
        << "file" << QByteArray("  http://127.0.0.1:81/r/ \t\r\nignored\n") << "http://127.0.0.1:81/r/";
    QTest::newRow("empty") << "file" << QByteArray() << "";
    QTest::newRow("utf-8") << "file" << QByteArray("http://h\xc3\xa9.example/\n")
                           << QString::fromUtf8("http://h\xc3\xa9.example/");
    // Cannot be read, so it is not missing either.
    QTest::newRow("dangling link") << "link" << QByteArray() << "";
}

void TestUpdateRun::baseUrl()
{
    QFETCH(QString, entry);
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);

    QTemporaryDir program;
    if (entry == QLatin1String("file"))
        QVERIFY(writeFile(program.filePath("update_host.dat"), content));
    else if (entry == QLatin1String("link"))
        QVERIFY(QFile::link(program.filePath("nowhere"), program.filePath("update_host.dat")));
    QCOMPARE(Vondra::updateBaseUrl(program.path()), expected);
}

void TestUpdateRun::errorLogKeepsTextVerbatim()
{
    QFile::remove(Vondra::TavUpdater::errorLogPath());
    // Percent signs are no format; a path outside Latin-1 keeps its letters.
    const QString first = QStringLiteral("cannot reach http://h/a%20b: 100% %s %d %n failed");
    const QString second = QString::fromUtf8("cannot write C:/Users/\xd0\x98\xd0\xb2\xd0\xb0\xd0\xbd/Caf\xc3\xa9.dat");
    Vondra::TavUpdater updater;
    updater.onError(1, first);
    updater.onError(2, second);

    const QStringList lines
        = QString::fromUtf8(readFile(m_work.filePath("updater.log"))).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines.at(0).endsWith(first), qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).endsWith(second), qPrintable(lines.at(1)));
}

void TestUpdateRun::registersNewTargetOnce()
{
    QTemporaryDir target;
    QTemporaryDir emptyRepository;
    const QString base = QUrl::fromLocalFile(emptyRepository.path()).toString() + QLatin1Char('/');

    // The repository holds no index: both searches fail, after the registration.
    QCOMPARE(Vondra::runUpdate({ "tool", "7", target.path() }, true, true, base), Vondra::searchFailed);
    QCOMPARE(Vondra::runUpdate({ "tool", "9.1", target.path() }, true, true, base), Vondra::searchFailed);

    Updater::PackagesInfo record;
    record.setDirectory(target.path());
    QCOMPARE(record.targetName(), QStringLiteral("tool7"));
    QCOMPARE(record.targetVersion(), QStringLiteral("7"));
    QCOMPARE(record.packageInfoCount(), 1);
    QCOMPARE(record.packageInfo(0).name(), QStringLiteral("tool"));
    QCOMPARE(record.packageInfo(0).version(), QStringLiteral("0.0"));
}

void TestUpdateRun::selectionDialog_data()
{
    QTest::addColumn<bool>("accept");
    QTest::addColumn<int>("expected");

    QTest::newRow("accepted with nothing selected") << true << 0;
    QTest::newRow("closed") << false << -1;
}

void TestUpdateRun::selectionDialog()
{
    QFETCH(bool, accept);
    QFETCH(int, expected);

    TestRepository repository;
    QVERIFY2(repository.start(), qPrintable(repository.errorString()));
    QVERIFY2(
        repository.publish("chooser", "1.0", { { "chooser.dat", "chooser" } }), qPrintable(repository.errorString()));
    QTemporaryDir target;
    QVERIFY(writeFile(target.filePath("own.txt"), "the user's"));
    Vondra::runUpdate({ "chooser", "7.0", target.path() }, true, true, repository.baseUrl());
    const QMap<QString, QByteArray> before = treeOf(target.path());

    bool dialogSeen = false;
    const auto driver = whenVisible<Updater::UpdatesDialog>([&](Updater::UpdatesDialog* dialog) {
        dialogSeen = true;
        if (accept) {
            uncheckEverything(dialog);
            clickOk(dialog);
        } else {
            dialog->close();
        }
    });
    QCOMPARE(Vondra::runUpdate({ "chooser", "7.0", target.path() }, false, false, repository.baseUrl()), expected);
    QVERIFY(dialogSeen);
    QCOMPARE(treeOf(target.path()), before);
}

void TestUpdateRun::cancelRestoresTarget()
{
    // Slow enough that the install is still downloading when Cancel comes.
    TestRepository repository(QStringLiteral("limit_rate 64k;"));
    QVERIFY2(repository.start(), qPrintable(repository.errorString()));
    QVERIFY2(repository.publish("big", "1.0", { { "big.dat", "first" } }), qPrintable(repository.errorString()));
    QTemporaryDir target;
    QCOMPARE(Vondra::runUpdate({ "big", "7.0", target.path() }, true, false, repository.baseUrl()), 1);
    QVERIFY2(repository.publish("big", "1.1", { { "big.dat", noise(2 * 1024 * 1024) } }),
        qPrintable(repository.errorString()));
    const QMap<QString, QByteArray> before = treeOf(target.path());

    bool cancelled = false;
    const auto driver = whenVisible<QProgressDialog>([&](QProgressDialog* progress) {
        for (QPushButton* button : progress->findChildren<QPushButton*>()) {
            button->click();
            cancelled = true;
        }
    });
    QCOMPARE(Vondra::runUpdate({ "big", "7.0", target.path() }, true, false, repository.baseUrl()), 1);
    QVERIFY(cancelled);
    QCOMPARE(treeOf(target.path()), before);
}

TAVLO_TEST(TestUpdateRun)

#include "tst_updaterun.moc"
