// Watches the size of the frames that the view's canvas window draws
// (every 500 ms) and starts a redraw and an autoresize, or a zoom fit in
// full screen, when the remote screen changed size.
#pragma once

#include <QTimer>

class ImageResizeTimer : public QTimer {
    Q_OBJECT

public:
    explicit ImageResizeTimer(QObject* view);
    ~ImageResizeTimer() override;

public slots:
    void handleImageResize();
};
