#include "CanvasRegistry.h"
#include "LogCapture.h"
#include "QorCanvas.h"
#include "QorCanvasListEntry.h"
#include "VideoFrame.h"

#include <Poco/Runnable.h>
#include <Poco/Thread.h>

#include <gtest/gtest.h>

using namespace qor;

namespace {

class FakeCanvas : public QorCanvas {
public:
    explicit FakeCanvas(int id) : QorCanvas(0, 0) { setCanvasId(id); }
    bool supportsColorFormat(int) override { return true; }
    void clearScreen() override {}
    void refreshScreen() override {}
    void deleteCanvasObject() override {}
    void resetFrames() override {}
};

// A decoder setting itself up: retrieves the canvas of its id, waiting.
class Retriever : public Poco::Runnable {
public:
    explicit Retriever(int id) : id(id) {}
    void run() override { got = retrieveCanvas(id, true); }
    const int id;
    QorCanvas* got = nullptr;
};

class Registry : public ::testing::Test {
protected:
    void TearDown() override {
        clearCanvasRegistry();
    }
    LogCapture log{"debug"};
};

} // namespace

TEST_F(Registry, BaseCanvasBehaviour) {
    FakeCanvas canvas(-1);
    EXPECT_EQ(canvas.canvasName(), "QorCanvas");
    EXPECT_FALSE(canvas.resizeCanvas(10, 10));
    canvas.QorCanvas::presentFrame(nullptr); // a null frame is ignored
    EXPECT_FALSE(canvas.decoderAttached);
}

namespace {

class CountingAllocator : public VideoFrameAllocator {
public:
    class Frame : public VideoFrame {
    public:
        std::uint8_t* plane(int) const override { return nullptr; }
        int width() const override { return 2; }
        int height() const override { return 2; }
        int lineSize(int) const override { return 2; }
        int colorFormat() const override { return 0; }
    };
    VideoFrame* newFrame(int) override {
        auto* frame = new Frame;
        frame->allocator = this;
        return frame;
    }
    void release(VideoFrame** frame) override {
        ++released;
        delete *frame;
        *frame = nullptr;
    }
    VideoFrame* allocate(int colorFormat, int, int) override { return newFrame(colorFormat); }
    int released = 0;
};

} // namespace

TEST_F(Registry, BaseCanvasGivesPresentedFramesBack) {
    FakeCanvas canvas(-1);
    CountingAllocator allocator;
    canvas.QorCanvas::presentFrame(allocator.newFrame(0));
    EXPECT_EQ(allocator.released, 1);
}

TEST_F(Registry, AddRefusals) {
    FakeCanvas first(3), second(3);
    EXPECT_FALSE(addCanvas(nullptr));
    EXPECT_TRUE(log.contains("NativeClient: Canvas is NULL"));
    EXPECT_TRUE(addCanvas(&first));
    EXPECT_TRUE(log.contains("NativeClient: Added canvas 3"));
    EXPECT_FALSE(addCanvas(&first));
    EXPECT_TRUE(log.contains("NativeClient: Trying to add canvas 3 twice"));
    EXPECT_FALSE(addCanvas(&second));
    EXPECT_TRUE(log.contains("NativeClient: Add canvas 3 with existing id"));
    EXPECT_EQ(retrieveCanvas(3, false), &first);
}

TEST_F(Registry, RetrieveWithoutWaitOfAbsentIdReturnsAtOnce) {
    EXPECT_EQ(retrieveCanvas(5, false), nullptr);
    EXPECT_EQ(log.texts(), std::vector<std::string>{"NativeClient: Request to retrieve canvas 5"});
}

TEST_F(Registry, RetrieveTakesTheCanvasOut) {
    FakeCanvas canvas(0);
    ASSERT_TRUE(addCanvas(&canvas));
    EXPECT_EQ(retrieveCanvas(0, true), &canvas);
    EXPECT_TRUE(log.contains("NativeClient: Removed canvas list entry 0"));
    EXPECT_EQ(retrieveCanvas(0, false), nullptr);
}

TEST_F(Registry, WaitingRetrieverGetsCanvasAddedLater) {
    FakeCanvas canvas(2);
    Retriever retriever(2);
    Poco::Thread thread;
    thread.start(retriever);
    ASSERT_TRUE(log.waitFor("Added canvas template for 2", 5000));
    EXPECT_TRUE(addCanvas(&canvas));
    thread.join();
    EXPECT_EQ(retriever.got, &canvas);
    ScopedOwnerLock guard(canvasRegistryLock);
    EXPECT_EQ(canvasRegistry.count(2), 0u);
}

TEST_F(Registry, TimedOutRetrievalLeavesTemplateThatALaterAddFills) {
    EXPECT_EQ(retrieveCanvas(7, true, 50), nullptr);
    EXPECT_TRUE(log.contains("NativeClient: Timed out during retrieval of canvas 7"));
    FakeCanvas canvas(7);
    EXPECT_TRUE(addCanvas(&canvas));
    // The template was signalled when it got its canvas: no wait now, and the
    // wait flag does not matter once an entry exists.
    EXPECT_EQ(retrieveCanvas(7, false, 50), &canvas);
}

TEST_F(Registry, Relabel) {
    struct Case {
        const char* what;
        int registeredId; // canvas registered under this id first (or 999: none)
        int otherId;      // a second canvas registered here (999: none)
        int from, to;
        bool result;
        int finalId; // where the first canvas stands afterwards (999: nowhere)
        const char* line;
    } cases[] = {
        {"main window to screen 0", -1, 999, -1, 0, true, 0, "NativeClient: Adding canvas again ..."},
        {"to control window", -1, 999, -1, -42, true, -42, nullptr},
        {"absent id", 999, 999, -1, 0, false, 999, "NativeClient: Can't find canvas to relabel -1"},
        {"onto a taken id leaves it", -1, 0, -1, 0, false, -1, "NativeClient: Add canvas 0 with existing id"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeCanvas canvas(c.registeredId), other(c.otherId);
        if (c.registeredId != 999) {
            ASSERT_TRUE(addCanvas(&canvas));
        }
        if (c.otherId != 999) {
            ASSERT_TRUE(addCanvas(&other));
        }
        log.clear();
        EXPECT_EQ(relabelCanvas(c.from, c.to), c.result);
        if (c.line) {
            EXPECT_TRUE(log.contains(c.line));
        }
        if (c.finalId != 999) {
            EXPECT_EQ(canvas.canvasId(), c.finalId);
            EXPECT_EQ(retrieveCanvas(c.finalId, false), &canvas);
        }
        if (c.otherId != 999) {
            EXPECT_EQ(retrieveCanvas(c.otherId, false), &other);
        }
        TearDown();
    }
}

// What a connection leaves in the registry (the main window given back under
// -1 as a proxy ends, a template whose retriever timed out) is freed when the
// program ends; the canvases themselves stay as they are.
TEST_F(Registry, ClearFreesEveryEntryAndKeepsTheCanvases) {
    log.setLevel("trace");
    FakeCanvas main(0);
    ASSERT_TRUE(addCanvas(&main));
    ASSERT_TRUE(relabelCanvas(0, CANVAS_ID_UNASSIGNED));
    EXPECT_EQ(retrieveCanvas(9, true, 10), nullptr);
    clearCanvasRegistry();
    EXPECT_TRUE(log.contains("QorCanvasListEntry deleted -1"));
    EXPECT_TRUE(log.contains("QorCanvasListEntry deleted 9"));
    EXPECT_TRUE(canvasRegistry.empty());
    EXPECT_EQ(main.canvasId(), CANVAS_ID_UNASSIGNED);
    EXPECT_EQ(retrieveCanvas(CANVAS_ID_UNASSIGNED, false), nullptr);
}

TEST_F(Registry, RelabelOfTemplateIsRefused) {
    EXPECT_EQ(retrieveCanvas(4, true, 10), nullptr);
    EXPECT_FALSE(relabelCanvas(4, 5));
    EXPECT_TRUE(log.contains("NativeClient: Relabel canvas, map is corrupted (no canvas present)."));
}

// A canvas that is destroyed takes its entries out of the registry; a
// retriever that already looked its entry up gets null instead of it.
TEST_F(Registry, RemovedCanvasIsNeverHandedOut) {
    FakeCanvas gone(3), kept(4);
    ASSERT_TRUE(addCanvas(&gone));
    ASSERT_TRUE(addCanvas(&kept));
    removeCanvas(&gone);
    EXPECT_TRUE(log.contains("NativeClient: Removing deleted canvas 3"));
    EXPECT_EQ(retrieveCanvas(3, false), nullptr);
    removeCanvas(&gone);
    removeCanvas(nullptr);
    EXPECT_EQ(retrieveCanvas(4, false), &kept);

    // The window registers while its decoder waits and is destroyed before
    // the decoder wakes up.
    FakeCanvas late(5);
    Retriever retriever(5);
    Poco::Thread thread;
    {
        thread.start(retriever);
        ASSERT_TRUE(log.waitFor("Added canvas template for 5", 5000));
        ScopedOwnerLock guard(canvasRegistryLock);
        EXPECT_TRUE(addCanvasUnlocked(&late));
        removeCanvas(&late);
    }
    thread.join();
    EXPECT_EQ(retriever.got, nullptr);
    ScopedOwnerLock guard(canvasRegistryLock);
    EXPECT_EQ(canvasRegistry.count(5), 0u);
}
