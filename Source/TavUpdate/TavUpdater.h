#pragma once

#include <QObject>

namespace Vondra {

// Receives the update library's errors during one update run and files them in
// the updater's error log.
class TavUpdater : public QObject
{
    Q_OBJECT

public:
    explicit TavUpdater(QObject* parent = nullptr);

    // Where onError writes, relative to the working directory of the process.
    static QString errorLogPath();

public slots:
    void onError(int code, const QString& errorText);
};

} // namespace Vondra
