// The arithmetic between the page's measurements and the windows: where the
// picture goes, how the page zoom fits a remote screen onto the local one,
// how an autoresized window is sized, and the page's background colour.
#pragma once

#include <QColor>
#include <QRect>
#include <QSize>
#include <QString>

namespace PageGeometry {

// The OpenGL viewport for the canvas element's rectangle (a JSON text with
// left, bottom, width and height in page pixels) at the zoom factor, in a
// window canvasHeight pixels high (OpenGL counts from the bottom). Values
// are rounded half away from zero. A text that is no JSON object gives the
// empty viewport at the window's top.
QRect canvasViewport(const QString& json, double zoom, int canvasHeight);

// The page size (scrollWidth, scrollHeight as whole numbers) times the zoom,
// truncated; 0 for what is missing or not whole.
QSize scaledScrollSize(const QString& json, double zoom);

// The zoom that fits a frame onto the screen in full screen: the smaller
// ratio when either is below 1, else 1 (never enlarges).
double fitZoom(const QSize& screen, const QSize& frame);

// What an autoresize does with the content size on the screen.
struct AutoresizePlan {
    bool maximise = false;
    QSize size; // for a normal window
};
// current is the view's size after the shrink, before the original size W0 x H0.
AutoresizePlan planAutoresize(const QSize& content, const QSize& screen, const QSize& current, const QSize& before);

// The page's computed background as the colour script reports it; false
// when red, green or blue is missing.
bool backgroundColour(const QString& json, QColor& colour);

} // namespace PageGeometry
