// The canvas as a window: numbering and names, the screen number from the
// page address and the title, close handling, and the requests other
// threads queue to the GUI thread, also when they arrive after the close.
#include "CanvasRegistry.h"
#include "CanvasTestSupport.h"
#include "ColorFormat.h"
#include "LogCapture.h"
#include "TestFrames.h"

#include <QCloseEvent>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace {

TEST(CanvasWindow, NumbersAndNames) {
    LogCapture log("debug");
    ClientGLWidget first(false);
    ClientGLWidget second(true);
    EXPECT_EQ(second.widgetNumber(), first.widgetNumber() + 1);
    const std::string base = "GLWidget_" + std::to_string(first.widgetNumber());
    EXPECT_EQ(first.canvasName(), base);

    first.setCanvasId(-1);
    EXPECT_EQ(first.canvasName(), base);
    EXPECT_FALSE(log.contains(" <= "));

    first.setCanvasId(-42);
    EXPECT_EQ(first.canvasName(), base + " (crtl)");
    first.setCanvasId(2);
    EXPECT_EQ(first.canvasName(), base + " (2)");
    EXPECT_TRUE(log.contains(base + " (2) <= " + base + " (crtl)"));
    first.setCanvasId(-1);
    EXPECT_EQ(first.canvasName(), base);
}

TEST(CanvasWindow, FormatsReportedBeforeAnyProgramExists) {
    ClientGLWidget canvas(false);
    const std::pair<int, bool> answers[] = {{ColorFormat::RGB24, true},   {ColorFormat::RGBA, false},
                                            {ColorFormat::RGB10, false},  {ColorFormat::YUV420P, false},
                                            {ColorFormat::NV12, false},   {ColorFormat::NONE, false}};
    for (const auto& answer : answers) EXPECT_EQ(canvas.supportsColorFormat(answer.first), answer.second);
}

TEST(CanvasWindow, ScreenNumberFromPageAddress) {
    struct Case {
        const char* url;
        bool numbered;
        int screen;
    };
    const Case cases[] = {
        {"https://h:8443/quarrydesk.html?screen=3", true, 3},
        {"https://h/x?screen=2&other=5", true, 2},
        {"https://h/x?screen= -7", true, -7},
        {"https://h/x?screen=+12abc", true, 12},
        {"https://h/x", false, 0},
        {"=5", false, 0},
        {"https://h/x?screen=abc", false, 0},
        {"https://h/x?screen=", false, 0},
        {"https://h/x?screen=2147483647", true, 2147483647},
        {"https://h/x?screen=2147483648", false, 0},
        {"https://h/x?screen=-2147483648", true, -2147483647 - 1},
        {"https://h/x?screen=99999999999999999999", false, 0},
    };
    for (const Case& c : cases) {
        int screen = 0;
        EXPECT_EQ(parseScreenNumber(c.url, screen), c.numbered) << c.url;
        if (c.numbered) {
            EXPECT_EQ(screen, c.screen) << c.url;
        }
    }
}

TEST(CanvasWindow, LoadedScreenPageNumbersRegistersAndTitlesTheWindow) {
    LogCapture log("trace");
    ClientGLWidget canvas(false);
    canvas.setWindowTitle("before");
    canvas.handlePageLoaded(false, QUrl("https://h:8443/q?screen=3"));
    EXPECT_TRUE(log.contains(": Loading still unsuccessful."));
    EXPECT_EQ(canvas.canvasId(), -1);

    canvas.handlePageLoaded(true, QUrl("https://h:8443/q"));
    EXPECT_EQ(canvas.canvasId(), -1);
    EXPECT_EQ(canvas.windowTitle(), "before");

    canvas.handlePageLoaded(true, QUrl("https://h:8443/q?screen=3"));
    EXPECT_EQ(canvas.canvasId(), 3);
    EXPECT_TRUE(log.contains(": Adding canvas 3"));
    EXPECT_EQ(canvas.windowTitle(), "Screen 3 - https://h:8443 - Quarrydesk Client");
    EXPECT_EQ(qor::retrieveCanvas(3, false), &canvas);

    // A later page naming another screen changes neither number nor
    // registration.
    canvas.handlePageLoaded(true, QUrl("https://h:8443/q?screen=4"));
    EXPECT_EQ(canvas.canvasId(), 3);
    EXPECT_TRUE(log.contains(": Window of screen 3 already registered, page of screen 4 loaded"));
    EXPECT_EQ(canvas.windowTitle(), "Screen 3 - https://h:8443 - Quarrydesk Client");
    EXPECT_EQ(qor::retrieveCanvas(4, false), nullptr);

    ClientGLWidget other(false);
    windowTitleWarning = "WARNING: OpenGL support missing";
    other.handlePageLoaded(true, QUrl("https://h:8443/q?screen=4"));
    windowTitleWarning.clear();
    EXPECT_EQ(other.windowTitle(),
              "WARNING: OpenGL support missing  -  Screen 4 - https://h:8443 - Quarrydesk Client");
    EXPECT_EQ(qor::retrieveCanvas(4, false), &other);
}

// The page may place its canvas before or after the window learns its
// screen: either way the screen's name ends up with the viewport's line,
// and a window whose page placed nothing logs no viewport.
TEST(CanvasWindow, TheScreensNameCarriesItsViewportWhicheverComesFirst) {
    struct Case {
        const char* name;
        bool placedBefore;
        bool placedAfter;
        int linesUnderBareName;
        int linesUnderScreenName;
    };
    const Case cases[] = {
        {"placed before the number", true, false, 1, 1},
        {"placed after the number", false, true, 0, 1},
        {"placed before, same place after", true, true, 1, 1},
        {"never placed", false, false, 0, 0},
    };
    const std::string line = ": Viewport changed to 10 20 / W:320, H:240";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture log("trace");
        ClientGLWidget canvas(false);
        const std::string bare = canvas.canvasName();
        if (c.placedBefore) canvas.setViewport(10, 20, 320, 240);
        canvas.handlePageLoaded(true, QUrl("https://h:8443/q?screen=5"));
        if (c.placedAfter) canvas.setViewport(10, 20, 320, 240);
        EXPECT_EQ(log.count(bare + line), c.linesUnderBareName);
        EXPECT_EQ(log.count(bare + " (5)" + line), c.linesUnderScreenName);
        EXPECT_EQ(log.count("Viewport changed"), c.linesUnderBareName + c.linesUnderScreenName);
        // A reload of the page binds nothing again.
        canvas.handlePageLoaded(true, QUrl("https://h:8443/q?screen=5"));
        EXPECT_EQ(log.count("Viewport changed"), c.linesUnderBareName + c.linesUnderScreenName);
    }
}

// The registry never hands out a window that is gone: a reload while the
// screen's decoder holds the canvas adds no second entry, and a destroyed
// window takes its entry with it.
TEST(CanvasWindow, ADeletedScreenWindowIsNeverHandedToADecoder) {
    LogCapture log("debug");
    const QUrl page("https://h:8443/q?screen=6");
    for (const bool decoderHoldsIt : {true, false}) {
        SCOPED_TRACE(decoderHoldsIt ? "held by the decoder" : "registered");
        log.clear();
        auto* window = new ClientGLWidget(false);
        QPointer<ClientGLWidget> watch(window);
        window->handlePageLoaded(true, page);
        if (decoderHoldsIt) {
            ASSERT_EQ(qor::retrieveCanvas(6, true, 100), window);
            window->handlePageLoaded(true, page);
            // A decoder restart gives the canvas back and takes it again.
            EXPECT_TRUE(qor::addCanvas(window));
            ASSERT_EQ(qor::retrieveCanvas(6, false), window);
            EXPECT_FALSE(log.contains("twice"));
            // The screen ends, with several screens: the window goes.
            window->deleteCanvasObject();
            ASSERT_TRUE(waitUntil([&] { return watch.isNull(); }));
        } else {
            window->handlePageLoaded(true, page);
            delete window;
        }
        EXPECT_EQ(qor::retrieveCanvas(6, false), nullptr);
    }
}

class CloseTest : public testing::Test {
protected:
    void SetUp() override {
        postScreenClosedHook = [this](int screen) { closedScreens.push_back(screen); };
    }
    void TearDown() override {
        postScreenClosedHook = nullptr;
        mainWidget = nullptr;
    }
    std::vector<int> closedScreens;
};

TEST_F(CloseTest, OnlyNumberedScreenWindowsReportTheirClose) {
    LogCapture log("debug");
    struct Case {
        int id;
        bool isMain;
        std::vector<int> reported;
        const char* line;
    };
    const Case cases[] = {
        {1, false, {1}, ": Received close-event, screen 1"},
        {-1, false, {}, ": Close-event during start up of window, ignoring ..."},
        {-1, true, {}, ": Received close-event, main window"},
    };
    for (const Case& c : cases) {
        closedScreens.clear();
        log.clear();
        ClientGLWidget canvas(c.isMain);
        if (c.isMain) mainWidget = &canvas;
        canvas.setCanvasId(c.id);
        canvas.show();
        canvas.close();
        EXPECT_TRUE(canvas.isClosing());
        EXPECT_EQ(closedScreens, c.reported) << c.line;
        EXPECT_TRUE(log.contains(c.line)) << c.line;
        mainWidget = nullptr;
    }
}

TEST_F(CloseTest, RefreshAndResizeQueuedBeforeTheCloseDoNothing) {
    LogCapture log("debug");
    auto canvas = std::make_unique<ClientGLWidget>(false);
    RecordingHost view;
    canvas->hostView(&view);
    canvas->setCanvasId(5);
    canvas->show();
    processEventsFor(20);
    const QSize viewSize = view.size();
    std::thread decoder([&] {
        canvas->refreshScreen();
        EXPECT_TRUE(canvas->resizeCanvas(333, 222));
    });
    decoder.join();
    EXPECT_EQ(canvas->qor::QorCanvas::width, 333);
    canvas->close();
    processEventsFor(30);
    EXPECT_FALSE(log.contains(": Refresh screen, thread"));
    EXPECT_EQ(view.size(), viewSize);
    // After the close, the requests return at once.
    log.clear();
    canvas->refreshScreen();
    EXPECT_TRUE(canvas->resizeCanvas(10, 10));
    EXPECT_EQ(canvas->qor::QorCanvas::width, 333);
    processEventsFor(30);
    EXPECT_FALSE(log.contains("Refresh screen"));
    EXPECT_EQ(view.size(), viewSize);
    canvas.reset();
}

TEST_F(CloseTest, ClearAfterTheCloseStillBlanksAndReleases) {
    auto canvas = makeCanvas(false, true);
    CountingAllocator allocator;
    canvas->setViewport(0, 0, 200, 150);
    presentAndGrab(*canvas, allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{0, 0, 0}; }));
    EXPECT_TRUE(canvas->isTransparent());
    canvas->close();
    std::thread session([&] { canvas->clearScreen(); });
    session.join();
    ASSERT_TRUE(waitUntil([&] { return allocator.outstanding == 0; }));
    EXPECT_FALSE(canvas->isTransparent());
    EXPECT_EQ(canvas->lastFrameSize(), QSize(0, 0));
}

TEST(CanvasWindow, QueuedRequestsForADeletedWindowAreDropped) {
    LogCapture log("debug");
    auto* canvas = new ClientGLWidget(false);
    QPointer<ClientGLWidget> watch(canvas);
    CountingAllocator allocator;
    canvas->presentFrame(allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{0, 0, 0}; }));
    std::thread session([&] {
        canvas->refreshScreen();
        canvas->deleteCanvasObject();
        canvas->clearScreen();
    });
    session.join();
    ASSERT_TRUE(waitUntil([&] { return watch.isNull(); }));
    processEventsFor(20);
    EXPECT_TRUE(log.contains(": Deleting object"));
    EXPECT_FALSE(log.contains(": Clearing screen, thread"));
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST(CanvasWindow, ContextWorkOutsidePaintOnAWindowWithoutContext) {
    // Clear and destruction of a window that never showed: no GL context,
    // so no GL call may run.
    CountingAllocator allocator;
    auto canvas = std::make_unique<ClientGLWidget>(false);
    canvas->presentFrame(allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{0, 0, 0}; }));
    canvas->clearScreen();
    ASSERT_TRUE(waitUntil([&] { return allocator.outstanding == 0; }));
    canvas->unsetTransparent();
    canvas->uploadBlankTexture();
    canvas.reset();
}

// Every request of the window to its view arrives through the host
// interface, in the order the window makes it.
TEST_F(CloseTest, TheWindowReachesItsViewThroughTheHost) {
    auto canvas = makeCanvas(false, true);
    RecordingHost view;
    canvas->hostView(&view);
    EXPECT_EQ(canvas->hostedView(), &view);
    EXPECT_EQ(view.parentWidget(), canvas.get());
    auto takeCalls = [&view] {
        std::vector<std::string> calls;
        calls.swap(view.calls);
        return calls;
    };
    using Calls = std::vector<std::string>;

    view.url = QUrl("https://h:8443/q?screen=7");
    canvas->loadFinished(true);
    EXPECT_EQ(takeCalls(), (Calls{"pageUrl", "setWindowsTitle Screen 7 - https://h:8443 - Quarrydesk Client"}));
    EXPECT_EQ(canvas->windowTitle(), "Screen 7 - https://h:8443 - Quarrydesk Client");

    // The first paint with a frame makes the page transparent, once.
    CountingAllocator allocator;
    canvas->setViewport(0, 0, 200, 150);
    presentAndGrab(*canvas, allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{0, 0, 0}; }));
    EXPECT_EQ(takeCalls(), (Calls{"pageBackgroundColor", "setPageBackgroundColor #00000000"}));
    EXPECT_TRUE(view.testAttribute(Qt::WA_TranslucentBackground));
    presentAndGrab(*canvas, allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{0, 0, 0}; }));
    EXPECT_EQ(takeCalls(), Calls{});

    std::thread decoder([&] { canvas->refreshScreen(); });
    decoder.join();
    ASSERT_TRUE(waitUntil([&] { return !view.calls.empty(); }));
    EXPECT_EQ(takeCalls(), Calls{"redrawWindow"});

    std::thread session([&] { canvas->clearScreen(); });
    session.join();
    ASSERT_TRUE(waitUntil([&] { return !view.calls.empty(); }));
    EXPECT_EQ(takeCalls(), Calls{"setPageBackgroundColor #ff000000"});
    EXPECT_FALSE(view.testAttribute(Qt::WA_TranslucentBackground));

    canvas->cleanup();
    EXPECT_EQ(takeCalls(), Calls{"cleanup"});

    canvas->close();
    EXPECT_EQ(takeCalls(), Calls{"detachCanvas"});
    EXPECT_EQ(view.parentWidget(), nullptr);
    EXPECT_EQ(closedScreens, std::vector<int>{7});
    canvas.reset();
    EXPECT_EQ(allocator.outstanding, 0);
}

TEST(CanvasWindow, QuickTestAnswersForTheFormatText) {
    LogCapture log("debug");
    ClientGLWidget canvas(false);
    struct Case {
        const char* text;
        bool answer;
    };
    const Case cases[] = {{"125", true}, {"147", false}, {"  +1,25", true}, {"abc", false}, {"", true}};
    bool first = true;
    for (const Case& c : cases) {
        log.clear();
        EXPECT_EQ(canvas.testCopyPerformance(c.text), c.answer) << c.text;
        if (*c.text != '\0') {
            EXPECT_TRUE(log.contains(std::string("Format '") + c.text + (c.answer ? "' supported" : "' not supported")));
        }
        if (first) {
            // Both copy passes report a moving average, never -1.
            const auto lines = log.texts();
            int passes = 0;
            for (const std::string& line : lines) {
                if (line.rfind("Memory copy 4k: avg ", 0) == 0 || line.rfind("Memory copy 8k: avg ", 0) == 0) {
                    ++passes;
                    EXPECT_EQ(line.find("avg -1"), std::string::npos) << line;
                }
            }
            EXPECT_EQ(passes, 2);
            first = false;
        }
    }
}

} // namespace
