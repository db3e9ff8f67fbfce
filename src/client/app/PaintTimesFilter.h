// Watches the paints of every canvas window for the present-to-paint log
// (installed on the application only when that log is on).
#pragma once

#include <QObject>
#include <QSet>

class PaintTimesFilter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QSet<QObject*> watchedWindows;
};
