// Shared pieces of the canvas tests: the Qt application (made once per
// test process), shown canvas windows with a chosen render mode, and
// waiting on the GUI thread.
#pragma once

#include "ClientGLWidget.h"
#include "QtWait.h"

#include <QImage>

#include <functional>
#include <memory>


// A shown screen window of 200 x 150 whose GL state is set up with the
// given render mode and colour-conversion setting; decoder attached.
std::unique_ptr<ClientGLWidget> makeCanvas(bool quads, bool hwColorConversion);

// Presents the frame and grabs what the next paint draws.
QImage presentAndGrab(ClientGLWidget& canvas, qor::VideoFrame* frame);
