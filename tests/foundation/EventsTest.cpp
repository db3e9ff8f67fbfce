#include "NativeClientDataFrameEvent.h"
#include "NativeClientDecodedVideoFrameEvent.h"
#include "NativeClientDecoderOutOfSyncEvent.h"
#include "NativeClientErrorEvent.h"
#include "NativeClientJSONDataFrameEvent.h"
#include "NativeClientScreenClosedEvent.h"
#include "NativeClientScreenSessionFinishedEvent.h"
#include "NativeClientServerSessionFinishedEvent.h"
#include "NativeClientSocketFailEvent.h"
#include "NativeClientVideoFrameEvent.h"
#include "NativeClientWebSocketEvent.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <vector>

using qor::NativeClientBaseEvent;

namespace {

// An event with any code, for the names of codes that no event class uses.
class AnyCodeEvent : public NativeClientBaseEvent {
public:
    explicit AnyCodeEvent(int code) : NativeClientBaseEvent(code) {}
};

// Payloads given back through the poster's release functions, in order.
std::vector<const void*> released;

void releaseBuffer(char* buffer) {
    released.push_back(buffer);
    delete[] buffer;
}
void releaseFrame(qor::VideoFrame* frame) { released.push_back(frame); }
void releaseSocket(qor::QorWebSocket* socket) { released.push_back(socket); }

// Stand-ins for a decoded frame and a socket: the events never look inside.
int frameStandIn;
int socketStandIn;

} // namespace

TEST(Events, CodesAndNames) {
    struct Case {
        NativeClientBaseEvent* event;
        int code;
        const char* name;
    } cases[] = {
        {new qor::NativeClientVideoFrameEvent({nullptr, &releaseBuffer}, 0), 0, "VideoFrame"},
        {new qor::NativeClientDecodedVideoFrameEvent({nullptr, &releaseFrame}), 1, "DecodedVideoFrameEvent"},
        {new qor::NativeClientDecoderOutOfSyncEvent(1), 2, "DecoderOutOfSyncEvent"},
        {new qor::NativeClientDataFrameEvent("{}", "label", true), 3, "CtrlFrame"},
        {new qor::NativeClientJSONDataFrameEvent(QorMessage(12), "Received"), 3, "CtrlFrame"},
        {new qor::NativeClientErrorEvent("m", 1, -1), 4, "ErrorDetected"},
        {new qor::NativeClientSocketFailEvent("m", 1, 1), 5, "SocketFailed"},
        {new qor::NativeClientWebSocketEvent({nullptr, &releaseSocket}, "id"), 6, "WebSocketConnected"},
        {new AnyCodeEvent(7), 7, "ServerDisconnectMsg"},
        {new qor::NativeClientScreenSessionFinishedEvent("", -1), 8, "ScreenSessionFinished"},
        {new qor::NativeClientServerSessionFinishedEvent("NativeClientExit", ""), 9, "ServerSessionFinished"},
        {new qor::NativeClientScreenClosedEvent(0), 10, "ScreenClosedEvent"},
        {new AnyCodeEvent(11), 11, "\"MISSING EVENT NAME, code \" = 11"},
        {new AnyCodeEvent(12), 12, "\"MISSING EVENT NAME, code \" = 12"},
        {new AnyCodeEvent(-1), -1, "\"MISSING EVENT NAME, code \" = -1"},
    };
    for (const Case& c : cases) {
        const qor::BaseEvent* base = c.event;
        EXPECT_EQ(base->type(), c.code) << c.name;
        EXPECT_EQ(base->name(), c.name);
        EXPECT_FALSE(base->backlogged) << c.name;
        EXPECT_EQ(base->remainingInQueue, 0) << c.name;
        EXPECT_EQ(c.event->referenceCount(), 1) << c.name;
        c.event->release();
    }
}

TEST(Events, FieldsFollowConstructorOrder) {
    auto* error = new qor::NativeClientErrorEvent("Decoder init failed", 0, 3);
    EXPECT_EQ(error->message, "Decoder init failed");
    EXPECT_EQ(error->errorCode, 0);
    EXPECT_EQ(error->screen, 3);
    error->release();

    // Message, fail kind, error code; the screen is always the whole connection.
    auto* fail = new qor::NativeClientSocketFailEvent("Failed to send \"x\"", 2, 7);
    EXPECT_EQ(fail->failKind, 2);
    EXPECT_EQ(fail->errorCode, 7);
    EXPECT_EQ(fail->screen, -1);
    fail->release();

    auto* data = new qor::NativeClientDataFrameEvent("{\"type\":30}", "Send resync", false);
    EXPECT_EQ(data->text, "{\"type\":30}");
    EXPECT_EQ(data->label, "Send resync");
    EXPECT_FALSE(data->verbose);
    data->release();

    auto* finished = new qor::NativeClientServerSessionFinishedEvent("why", "Session 3");
    EXPECT_EQ(finished->reason, "why");
    EXPECT_EQ(finished->proxyName, "Session 3");
    finished->release();
}

// A consumer that handles codes 4 and 5 together reads either as an error event.
TEST(Events, SocketFailIsAnErrorEvent) {
    qor::BaseEvent* events[] = {new qor::NativeClientErrorEvent("plain", 1, 2),
                                new qor::NativeClientSocketFailEvent("socket", 1, 1)};
    const char* messages[] = {"plain", "socket"};
    const int screens[] = {2, -1};
    for (int i = 0; i < 2; ++i) {
        auto* error = dynamic_cast<qor::NativeClientErrorEvent*>(events[i]);
        ASSERT_NE(error, nullptr);
        EXPECT_EQ(error->message, messages[i]);
        EXPECT_EQ(error->screen, screens[i]);
        EXPECT_EQ(error->errorCode, 1);
        events[i]->release();
    }
}

TEST(Events, JsonFrameSharesItsMessage) {
    QorMessage message(102);
    auto* event = new qor::NativeClientJSONDataFrameEvent(message, "VS parameter");
    message.setMember("session", std::int64_t(1));
    EXPECT_EQ(event->message.getInt("session"), 1);
    EXPECT_EQ(event->label, "VS parameter");
    QorMessage kept = event->message;
    event->release();
    EXPECT_EQ(kept.toJson(), "{\"session\":1,\"type\":102}");
}

namespace {

// One row per event kind that carries a payload: posts an event holding a
// new payload, and takes the payload out of such an event (the holder that
// comes back frees it when it goes).
struct PayloadCase {
    const char* kind;
    std::function<NativeClientBaseEvent*(const void*& payload)> post;
    std::function<std::shared_ptr<void>(NativeClientBaseEvent*)> take;
};

std::vector<PayloadCase> payloadCases() {
    return {
        {"video buffer",
         [](const void*& payload) {
             char* buffer = new char[64]();
             payload = buffer;
             return new qor::NativeClientVideoFrameEvent({buffer, &releaseBuffer}, 64);
         },
         [](NativeClientBaseEvent* event) {
             auto* frameEvent = static_cast<qor::NativeClientVideoFrameEvent*>(event);
             return std::shared_ptr<void>(
                 std::make_shared<qor::NativeClientVideoFrameEvent::Buffer>(frameEvent->takeData()));
         }},
        {"decoded frame",
         [](const void*& payload) {
             auto* frame = reinterpret_cast<qor::VideoFrame*>(&frameStandIn);
             payload = frame;
             return new qor::NativeClientDecodedVideoFrameEvent({frame, &releaseFrame});
         },
         [](NativeClientBaseEvent* event) {
             auto* frameEvent = static_cast<qor::NativeClientDecodedVideoFrameEvent*>(event);
             return std::shared_ptr<void>(
                 std::make_shared<qor::NativeClientDecodedVideoFrameEvent::Frame>(frameEvent->takeFrame()));
         }},
        {"web socket",
         [](const void*& payload) {
             auto* socket = reinterpret_cast<qor::QorWebSocket*>(&socketStandIn);
             payload = socket;
             return new qor::NativeClientWebSocketEvent({socket, &releaseSocket}, "client-1");
         },
         [](NativeClientBaseEvent* event) {
             auto* socketEvent = static_cast<qor::NativeClientWebSocketEvent*>(event);
             return std::shared_ptr<void>(
                 std::make_shared<qor::NativeClientWebSocketEvent::Socket>(socketEvent->takeSocket()));
         }},
    };
}

class EventPayloads : public ::testing::Test {
protected:
    void SetUp() override { released.clear(); }
};

} // namespace

// A refused event, or one still queued when its receiver goes away, dies with
// its payload untaken: the payload goes back through the poster's function.
TEST_F(EventPayloads, FreedWhenTheEventDiesUntaken) {
    for (const PayloadCase& c : payloadCases()) {
        released.clear();
        const void* payload = nullptr;
        NativeClientBaseEvent* event = c.post(payload);
        event->duplicate(); // a second holder: not the last release yet
        event->release();
        EXPECT_TRUE(released.empty()) << c.kind;
        event->release();
        ASSERT_EQ(released.size(), 1u) << c.kind;
        EXPECT_EQ(released[0], payload) << c.kind;
    }
}

TEST_F(EventPayloads, NotFreedByTheEventOnceTaken) {
    for (const PayloadCase& c : payloadCases()) {
        released.clear();
        const void* payload = nullptr;
        NativeClientBaseEvent* event = c.post(payload);
        std::shared_ptr<void> taken = c.take(event);
        event->release();
        EXPECT_TRUE(released.empty()) << c.kind;
        taken.reset(); // the consumer is done with it
        ASSERT_EQ(released.size(), 1u) << c.kind;
        EXPECT_EQ(released[0], payload) << c.kind;
    }
}

TEST_F(EventPayloads, TakenVideoBufferKeepsItsBytes) {
    char* buffer = new char[4]{'\0', '\0', '\1', 'e'};
    auto* event = new qor::NativeClientVideoFrameEvent({buffer, &releaseBuffer}, 4);
    qor::NativeClientVideoFrameEvent::Buffer data = event->takeData();
    EXPECT_EQ(event->data, nullptr);
    EXPECT_EQ(event->length, 4);
    event->release();
    ASSERT_EQ(data.get(), buffer);
    EXPECT_EQ(data.get()[3], 'e');
    data.reset();
    EXPECT_EQ(released.size(), 1u);
}

TEST_F(EventPayloads, EmptyPayloadIsNotReleased) {
    auto* event = new qor::NativeClientWebSocketEvent({nullptr, &releaseSocket}, "id");
    EXPECT_EQ(event->clientId, "id");
    event->release();
    EXPECT_TRUE(released.empty());
}
