// What a canvas window asks of the view it hosts (the window's browser,
// which lies over the picture and fills the window). The web side
// implements it; the window reaches its view through nothing else, so every
// call is checked by the compiler. GUI thread only.
#pragma once

#include <QColor>
#include <QString>
#include <QUrl>

class QWidget;

class CanvasHost {
public:
    virtual ~CanvasHost() = default;

    // The view as a widget: the window puts it into its layout.
    virtual QWidget* hostWidget() = 0;
    // The window's refresh step: the view shows itself again over the
    // picture and fits its zoom.
    virtual void redrawWindow() = 0;
    // The window is closing: the view ends all work for it and forgets it.
    virtual void detachCanvas() = 0;
    // Application exit (main window): the view stops what it started.
    virtual void cleanup() = 0;
    // The page's background, made transparent while frames are drawn.
    virtual QColor pageBackgroundColor() const = 0;
    virtual void setPageBackgroundColor(QColor colour) = 0;
    // The address of the page now shown.
    virtual QUrl pageUrl() const = 0;
    // Sets the title of the view and of its window.
    virtual void setWindowsTitle(QString title) = 0;

protected:
    CanvasHost() = default;
    CanvasHost(const CanvasHost&) = default;
    CanvasHost& operator=(const CanvasHost&) = default;
};
