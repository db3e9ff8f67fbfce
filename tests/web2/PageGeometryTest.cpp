// The arithmetic between page measurements and windows: viewport from the
// canvas element, zoom fit in full screen, autoresize sizes, background
// colour.
#include "PageGeometry.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

TEST(PageGeometry, CanvasRectangleBecomesTheViewport) {
    struct Case {
        const char* json;
        double zoom;
        int canvasHeight;
        QRect expected;
    };
    const Case cases[] = {
        // Halves round away from zero; OpenGL counts from the bottom.
        {R"({"left":10.5,"top":0,"bottom":300.5,"width":640,"height":480})", 1.0, 700, QRect(11, 399, 640, 480)},
        {R"({"left":10.5,"top":0,"bottom":300.5,"width":640,"height":480})", 0.5, 700, QRect(5, 550, 320, 240)},
        {R"({"left":0,"bottom":1080,"width":1920,"height":1080})", 1.0, 1080, QRect(0, 0, 1920, 1080)},
        // Missing members count as 0.
        {R"({"width":100})", 1.0, 300, QRect(0, 300, 100, 0)},
        // Not a JSON object: nothing to draw.
        {"", 1.0, 300, QRect(0, 300, 0, 0)},
        {"[1,2]", 1.0, 300, QRect(0, 300, 0, 0)},
    };
    for (const Case& c : cases) {
        const QRect r = PageGeometry::canvasViewport(c.json, c.zoom, c.canvasHeight);
        EXPECT_EQ(r, c.expected) << c.json << " zoom " << c.zoom << ": " << r.x() << "," << r.y() << " " << r.width()
                                 << "x" << r.height();
    }
}

TEST(PageGeometry, ScrollSizeIsScaledAndTruncated) {
    struct Case {
        const char* json;
        double zoom;
        QSize expected;
    };
    const Case cases[] = {
        {R"({"scrollWidth":1001,"scrollHeight":501})", 0.5, QSize(500, 250)},
        {R"({"scrollWidth":800,"scrollHeight":600})", 1.0, QSize(800, 600)},
        // Fractions and missing members read as 0.
        {R"({"scrollWidth":800.5})", 1.0, QSize(0, 0)},
        {"{}", 1.0, QSize(0, 0)},
    };
    for (const Case& c : cases) EXPECT_EQ(PageGeometry::scaledScrollSize(c.json, c.zoom), c.expected) << c.json;
}

TEST(PageGeometry, FullScreenZoomShrinksButNeverEnlarges) {
    struct Case {
        QSize frame;
        double zoom;
    };
    const QSize screen(1920, 1080);
    const Case cases[] = {
        {QSize(3840, 2160), 0.5}, {QSize(2560, 1080), 0.75}, {QSize(1280, 720), 1.0},
        {QSize(1920, 1440), 0.75}, {QSize(0, 0), 1.0},       {QSize(3840, 0), 0.5},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(PageGeometry::fitZoom(screen, c.frame), c.zoom) << c.frame.width() << "x" << c.frame.height();
    }
}

TEST(PageGeometry, AutoresizeMaximisesOnlyWhenBothSidesOverflow) {
    struct Case {
        QSize content;
        QSize current;
        bool maximise;
        QSize size;
    };
    const QSize screen(1920, 1080);
    const QSize before(1000, 700);
    const Case cases[] = {
        {QSize(1900, 1100), QSize(1, 1), true, before},
        {QSize(1900, 1000), QSize(1, 1), false, QSize(1900, 1000)},
        {QSize(2000, 900), QSize(1, 1), false, QSize(1920, 900)},
        // Already that size (within a pixel): keep the size from before.
        {QSize(1200, 800), QSize(1201, 799), false, before},
    };
    for (const Case& c : cases) {
        const PageGeometry::AutoresizePlan plan = PageGeometry::planAutoresize(c.content, screen, c.current, before);
        EXPECT_EQ(plan.maximise, c.maximise) << c.content.width() << "x" << c.content.height();
        EXPECT_EQ(plan.size, c.size) << c.content.width() << "x" << c.content.height();
    }
}

TEST(PageGeometry, BackgroundColourFromThePageScript) {
    struct Case {
        const char* json;
        bool set;
        QColor colour;
    };
    const Case cases[] = {
        {R"({"red":0,"green":0,"blue":0,"alpha":0})", true, QColor(0, 0, 0, 0)},
        {R"({"red":255,"green":255,"blue":255})", true, QColor(255, 255, 255, 255)},
        {R"({"red":10,"green":20,"blue":30,"alpha":0})", true, QColor(10, 20, 30, 0)},
        {R"({"red":10,"green":20,"blue":30,"alpha":1})", true, QColor(10, 20, 30, 255)},
        // A colour text the script could not split leaves the colour alone.
        {R"({"red":"transparent"})", false, QColor()},
        {R"({"red":1,"green":2})", false, QColor()},
        {R"({"red":300,"green":2,"blue":3})", false, QColor()},
        {"null", false, QColor()},
    };
    for (const Case& c : cases) {
        QColor colour;
        EXPECT_EQ(PageGeometry::backgroundColour(c.json, colour), c.set) << c.json;
        if (c.set) {
            EXPECT_EQ(colour.rgba(), c.colour.rgba()) << c.json;
        }
    }
}

} // namespace
