// Shared pieces of the canvas tests: the Qt application (made once per
// test process), shown canvas windows with a chosen render mode, and
// waiting on the GUI thread.
#pragma once

#include "CanvasHost.h"
#include "ClientGLWidget.h"
#include "QtWait.h"

#include <QImage>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>
#include <vector>

// A shown screen window of 200 x 150 whose GL state is set up with the
// given render mode and colour-conversion setting; decoder attached.
std::unique_ptr<ClientGLWidget> makeCanvas(bool quads, bool hwColorConversion);

// Presents the frame and grabs what the next paint draws.
QImage presentAndGrab(ClientGLWidget& canvas, qor::VideoFrame* frame);

// A view for a canvas window that notes every call the window makes of it,
// in order, and answers with a page of its own (address and background).
class RecordingHost : public QWidget, public CanvasHost {
public:
    QWidget* hostWidget() override { return this; }
    void redrawWindow() override { calls.push_back("redrawWindow"); }
    void detachCanvas() override { calls.push_back("detachCanvas"); }
    void cleanup() override { calls.push_back("cleanup"); }
    QColor pageBackgroundColor() const override {
        calls.push_back("pageBackgroundColor");
        return background;
    }
    void setPageBackgroundColor(QColor colour) override {
        calls.push_back("setPageBackgroundColor " + colour.name(QColor::HexArgb).toStdString());
        background = colour;
    }
    QUrl pageUrl() const override {
        calls.push_back("pageUrl");
        return url;
    }
    void setWindowsTitle(QString title) override {
        calls.push_back("setWindowsTitle " + title.toStdString());
        window()->setWindowTitle(title);
    }

    mutable std::vector<std::string> calls;
    QColor background = Qt::white;
    QUrl url;
};
