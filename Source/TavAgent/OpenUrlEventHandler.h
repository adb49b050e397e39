#pragma once

#include <QObject>

namespace Vondra {

// Turns file-open events that carry a URL into launch requests, run at once on
// the GUI thread. Installed on the application object.
class OpenUrlEventHandler : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    bool eventFilter(QObject* watched, QEvent* event) override;
};

} // namespace Vondra
