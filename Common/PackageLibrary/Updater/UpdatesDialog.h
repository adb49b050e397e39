#pragma once

#include "TavUpdaterGlobal.h"

#include <QDialog>
#include <QList>

#include <memory>

namespace Updater {

class Update;
class UpdatesDialogPrivate;

// Lists updates with a checkbox each (all checked at first); OK accepts.
class TAVUPDATER_EXPORT UpdatesDialog : public QDialog
{
    Q_OBJECT

public:
    explicit UpdatesDialog(QWidget* parent = nullptr);
    ~UpdatesDialog() override;

    void setUpdates(const QList<Update*>& updates);
    bool isUpdateAllowed(const Update* update) const;

private:
    std::unique_ptr<UpdatesDialogPrivate> d;
};

} // namespace Updater
