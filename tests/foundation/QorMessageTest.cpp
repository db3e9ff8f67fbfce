#include "LogCapture.h"
#include "MessageTypeNames.h"
#include "ProtocolKeys.h"
#include "QorMessage.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Array.h>
#include <Poco/Message.h>

#include <gtest/gtest.h>

#include <climits>
#include <functional>

TEST(QorMessageJson, CompactInAscendingKeyOrder) {
    struct Case {
        const char* what;
        std::function<QorMessage()> build;
        const char* json;
    } cases[] = {
        {"type only", [] { return QorMessage(14); }, "{\"type\":14}"},
        {"set in descending order",
         [] {
             QorMessage m(101);
             m.setMember(QOR_MSG_TYPE, std::int64_t(101));
             m.setMember(QOR_SVR_PARAM_NUM_SCREENS, std::int64_t(2));
             m.setMember(QOR_CLNT_ID_CLIENT_ID, "c1");
             return m;
         },
         "{\"ClntID\":\"c1\",\"SvrPNumScrs\":2,\"type\":101}"},
        {"setter replaces",
         [] {
             QorMessage m(30);
             m.setMember(QOR_MSG_SCREEN_ID, std::int64_t(1));
             m.setMember(QOR_MSG_SCREEN_ID, std::int64_t(0));
             return m;
         },
         "{\"session\":0,\"type\":30}"},
        {"64-bit integer and escaped text",
         [] {
             QorMessage m(16);
             m.setMember("CSFno", std::int64_t(5000000000LL));
             m.setMember("CSDas", "a\"b");
             return m;
         },
         "{\"CSDas\":\"a\\\"b\",\"CSFno\":5000000000,\"type\":16}"},
        {"array member",
         [] {
             QorMessage m(960);
             Poco::JSON::Array::Ptr list(new Poco::JSON::Array);
             list->add(std::string("0,0,8"));
             list->add(std::string("1,0,8"));
             m.setMember(QOR_VCONF_LIST, list);
             return m;
         },
         "{\"VConfList\":[\"0,0,8\",\"1,0,8\"],\"type\":960}"},
        {"parsed text is rewritten compactly and sorted",
         [] { return QorMessage(std::string("{ \"type\" : 100,\n \"NetProtVer\" : \"4.3\" }")); },
         "{\"NetProtVer\":\"4.3\",\"type\":100}"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.build().toJson(), c.json) << c.what;
}

TEST(QorMessageJson, CopiesShareTheObject) {
    QorMessage original(12);
    QorMessage copy = original;
    copy.setMember(QOR_MSG_SCREEN_ID, std::int64_t(3));
    EXPECT_EQ(original.getInt(QOR_MSG_SCREEN_ID), 3);
}

TEST(QorMessageJson, TypeRoundTrips) {
    for (int type : {0, 14, 300, 4000}) {
        QorMessage built(type);
        EXPECT_EQ(built.getType(), type);
        EXPECT_EQ(QorMessage(built.toJson()).getType(), type);
    }
}

// Text from the page that is not a JSON object must not raise into the
// receive thread: it is logged and leaves the message as it was.
TEST(QorMessageParse, NonObjectTextIsLoggedNotRaised) {
    // A syntax error also goes to standard output; whether the parser takes
    // a lone scalar as a syntax error depends on the POCO version.
    enum Printed { No, Yes, Either };
    struct Case {
        const char* text;
        Printed printed;
    } cases[] = {
        {"[]", No},
        {"[{\"type\":1}]", No},
        {"1", Either},
        {"\"x\"", Either},
        {"null", Either},
        {"true", Either},
        {"", Yes},
        {"{", Yes},
        {"not json", Yes},
        {"{\"type\":1,}", Yes},
    };
    for (const Case& c : cases) {
        LogCapture log;
        testing::internal::CaptureStdout();
        QorMessage fresh{std::string(c.text)};
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(fresh.isEmpty()) << c.text;
        EXPECT_EQ(log.count("Can't parse message '" + std::string(c.text) + "'"), 1) << c.text;
        if (c.printed != Either) {
            EXPECT_EQ(!printed.empty(), c.printed == Yes) << c.text << " printed '" << printed << "'";
        }

        QorMessage held(14);
        testing::internal::CaptureStdout();
        EXPECT_FALSE(held.parse(c.text)) << c.text;
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(held.toJson(), "{\"type\":14}") << c.text;
    }
}

TEST(QorMessageParse, ObjectReplacesThePreviousOne) {
    QorMessage message(14);
    EXPECT_TRUE(message.parse("{\"type\":109,\"session\":2}"));
    EXPECT_EQ(message.getType(), 109);
    EXPECT_EQ(message.getInt(QOR_MSG_SCREEN_ID), 2);
}

TEST(QorMessageParse, LongTextIsShortenedInTheLog) {
    LogCapture log;
    std::string text = "[\"" + std::string(200, 'a') + "\"]";
    QorMessage message(text);
    EXPECT_TRUE(log.contains("Can't parse message '[\"" + std::string(78, 'a') + "...': not a JSON object"));
}

namespace {

enum class Getter { Bool, Int, Type, String };

struct FailureCase {
    const char* json; // nullptr: a message without object
    Getter getter;
    const char* key;
    const char* level; // capture level
    int priority;      // 0: nothing logged
    const char* logged;
    const char* raised; // nullptr: returns "" instead
};

// Runs the getter; returns the exception's text, or "returned '<value>'".
std::string runGetter(const QorMessage& message, Getter getter, const std::string& key) {
    try {
        switch (getter) {
        case Getter::Bool: return "returned " + std::to_string(message.getBool(key));
        case Getter::Int: return "returned " + std::to_string(message.getInt(key));
        case Getter::Type: return "returned " + std::to_string(message.getType());
        case Getter::String: return "returned '" + message.getString(key) + "'";
        }
    } catch (const Poco::Exception& e) {
        EXPECT_EQ(std::string(e.name()), "Exception") << "a plain Poco::Exception is raised";
        return e.message();
    }
    return std::string();
}

} // namespace

TEST(QorMessageGetters, FailuresAreLoggedAndRaised) {
    const int debug = Poco::Message::PRIO_DEBUG;
    const int error = Poco::Message::PRIO_ERROR;
    const FailureCase cases[] = {
        {"{\"type\":1}", Getter::Bool, "KBMCtrlVal", "debug", debug,
         "Can't retrieve boolean value of 'KBMCtrlVal' received 'Invalid access'",
         "Can't retrieve boolean value of 'KBMCtrlVal'"},
        {"{\"type\":1}", Getter::Bool, "KBMCtrlVal", "information", 0, nullptr,
         "Can't retrieve boolean value of 'KBMCtrlVal'"},
        {nullptr, Getter::Bool, "Paused", "debug", debug,
         "Can't retrieve boolean value of 'Paused' received 'Null pointer'",
         "Can't retrieve boolean value of 'Paused'"},
        {"{\"Paused\":\"yes\"}", Getter::Bool, "Paused", "debug", debug,
         "Can't retrieve boolean value of 'Paused' received 'Syntax error'",
         "Can't retrieve boolean value of 'Paused'"},
        {"{\"type\":1}", Getter::Int, "session", "trace", error,
         "Can't retrieve integer value of 'session' received 'Invalid access'",
         "Can't retrieve integer value of 'session'"},
        {nullptr, Getter::Int, "session", "trace", error, "Can't retrieve value of 'session', message empty",
         "Can't retrieve value of 'session'"},
        {"{\"session\":\"one\"}", Getter::Int, "session", "trace", error,
         "Can't retrieve integer value of 'session' received 'Syntax error'",
         "Can't retrieve integer value of 'session'"},
        {"{\"session\":null}", Getter::Int, "session", "trace", error,
         "Can't retrieve integer value of 'session' received 'Invalid access'",
         "Can't retrieve integer value of 'session'"},
        {"{\"session\":2147483648}", Getter::Int, "session", "trace", error,
         "Can't retrieve integer value of 'session' received 'Out of range'",
         "Can't retrieve integer value of 'session'"},
        {"{\"session\":1}", Getter::Type, "", "trace", error,
         "Can't retrieve integer value of 'QOR_MSG_TYPE' received 'Invalid access'",
         "Can't retrieve integer value of 'QOR_MSG_TYPE'"},
        {"{\"type\":\"x\"}", Getter::Type, "", "trace", error,
         "Can't retrieve integer value of 'QOR_MSG_TYPE' received 'Syntax error'",
         "Can't retrieve integer value of 'QOR_MSG_TYPE'"},
        {nullptr, Getter::Type, "", "trace", error, "Can't retrieve message type, message empty",
         "Can't retrieve value of 'QOR_MSG_TYPE'"},
        {"{\"type\":1}", Getter::String, "ClntID", "trace", error,
         "Can't retrieve string value of 'ClntID' received 'Invalid access'", nullptr},
        {nullptr, Getter::String, "ClntID", "trace", error,
         "Can't retrieve string value of 'ClntID' received 'Null pointer'", nullptr},
        {"{\"ClntID\":null}", Getter::String, "ClntID", "trace", error,
         "Can't retrieve string value of 'ClntID' received 'Invalid access'", nullptr},
    };
    for (const FailureCase& c : cases) {
        QorMessage message = c.json ? QorMessage(std::string(c.json)) : QorMessage();
        ASSERT_EQ(message.isEmpty(), c.json == nullptr) << c.json;
        LogCapture log(c.level);
        std::string outcome = runGetter(message, c.getter, c.key);
        std::string where = std::string(c.json ? c.json : "(no object)") + " " + c.key;
        EXPECT_EQ(outcome, c.raised ? c.raised : "returned ''") << where;
        std::vector<CapturedLine> lines = log.lines();
        if (c.priority == 0) {
            EXPECT_TRUE(lines.empty()) << where;
            continue;
        }
        ASSERT_EQ(lines.size(), 1u) << where;
        EXPECT_EQ(lines[0].priority, c.priority) << where;
        EXPECT_EQ(lines[0].text, c.logged) << where;
    }
}

TEST(QorMessageGetters, Conversions) {
    struct Case {
        const char* value; // JSON text of the member "v"
        Getter getter;
        const char* result;
    } cases[] = {
        {"true", Getter::Bool, "returned 1"},
        {"1", Getter::Bool, "returned 1"},
        {"\"1\"", Getter::Bool, "returned 1"},
        {"false", Getter::Bool, "returned 0"},
        {"0", Getter::Bool, "returned 0"},
        {"2", Getter::Bool, "returned 0"},
        {"-1", Getter::Bool, "returned 0"},
        {"\"0\"", Getter::Bool, "returned 0"},
        {"7", Getter::Int, "returned 7"},
        {"-7", Getter::Int, "returned -7"},
        {"\"12\"", Getter::Int, "returned 12"},
        {"true", Getter::Int, "returned 1"},
        {"2147483647", Getter::Int, "returned 2147483647"},
        {"\"text\"", Getter::String, "returned 'text'"},
        {"42", Getter::String, "returned '42'"},
        {"\"\"", Getter::String, "returned ''"},
    };
    LogCapture log;
    for (const Case& c : cases) {
        QorMessage message("{\"v\":" + std::string(c.value) + "}");
        EXPECT_EQ(runGetter(message, c.getter, "v"), c.result) << c.value;
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST(QorMessageMembers, PresenceAndNull) {
    struct Case {
        const char* key;
        bool has;
    } cases[] = {
        {"session", true}, {"zero", true}, {"empty", true}, {"no", true},
        {"list", true},    {"nothing", false}, {"missing", false},
        {"Session", false}, // keys are case-sensitive
    };
    QorMessage message(
        std::string("{\"session\":1,\"zero\":0,\"empty\":\"\",\"no\":false,\"list\":[],\"nothing\":null}"));
    for (const Case& c : cases) {
        EXPECT_EQ(message.hasMember(c.key), c.has) << c.key;
        EXPECT_EQ(message.isNullMember(c.key), !c.has) << c.key;
    }
    EXPECT_TRUE(message.getMember("missing").isEmpty());
    EXPECT_TRUE(message.getMember("nothing").isEmpty());
    EXPECT_EQ(message.getMember("session").convert<int>(), 1);
}

TEST(QorMessageMembers, MessageWithoutObjectRaisesNullPointer) {
    QorMessage empty;
    const std::function<void()> uses[] = {
        [&] { empty.toJson(); },
        [&] { empty.hasMember("a"); },
        [&] { empty.isNullMember("a"); },
        [&] { empty.getMember("a"); },
        [&] { empty.setMember("a", "b"); },
        [&] { empty.setMember("a", std::int64_t(1)); },
        [&] { empty.setMember("a", Poco::JSON::Array::Ptr(new Poco::JSON::Array)); },
    };
    for (const auto& use : uses) EXPECT_THROW(use(), Poco::NullPointerException);
}

TEST(MessageTypeName, EveryTypeAndTheGaps) {
    struct Case {
        int type;
        const char* name;
    } cases[] = {
        {-1, "NONE"},
        {0, "CLNT_HEARTBEAT"},
        {1, "CLNT_MOUSE"},
        {2, "CLNT_KEY"},
        {3, "CLNT_FOCUS"},
        {4, "CLNT_BLUR"},
        {5, "CLNT_CTRLALTDEL"},
        {11, "CLNT_INFO"},
        {12, "CLNT_VIDEO_SETUP"},
        {14, "CLNT_START_VS"},
        {15, "CLNT_STOP_VS"},
        {16, "CLNT_STATS"},
        {22, "CLNT_ACK_STAT"},
        {30, "CLNT_RESYNC"},
        {88, "CLNT_PARAM_CHANGE"},
        {89, "CLNT_SIGNOUT"},
        {90, "CLNT_CLOSE"},
        {105, "CLNT_PASTE"},
        {106, "CLNT_COPY_REQ"},
        {200, "CLNT_AUDIO_SETUP"},
        {201, "CLNT_START_AS"},
        {202, "CLNT_STOP_AS"},
        {41, "MU_CLNT_CREATE_INVITE"},
        {42, "MU_CLNT_REMOVE_INVITE"},
        {43, "MU_CLNT_REMOVE_ALL_INVITES"},
        {44, "MU_CLNT_CONFIRM_INVITE"},
        {51, "MU_CLNT_KBM_CTRL"},
        {52, "MU_CLNT_DISCONNECT_CLIENT"},
        {53, "MU_CLNT_DISCONNECT_GUESTS"},
        {61, "MU_CLNT_PAUSE_GUESTS"},
        {63, "MU_CLNT_START_GUESTS"},
        {70, "SVR_CLNT_PING"},
        {100, "SVR_CLNT_ID"},
        {101, "SVR_SERVER_PARAM"},
        {102, "SVR_VS_PARAM"},
        {103, "SVR_SERVER_INFO"},
        {104, "SVR_KB_LAYOUT_CHANGE"},
        {108, "SVR_WARNING"},
        {109, "SVR_ERROR"},
        {115, "SVR_VIDEOWS_CONNECTED"},
        {121, "SVR_LOCALCURSOR"},
        {122, "SVR_STAT_REQUEST"},
        {190, "SVR_AS_STATUS"},
        {205, "SVR_PASTE_ACK"},
        {206, "SVR_COPY_DATA"},
        {207, "SVR_COPY_ERROR"},
        {215, "SVR_AUDIOWS_CONNECTED"},
        {140, "MU_SVR_ERROR"},
        {141, "MU_SVR_CREATE_INVITE"},
        {144, "MU_SVR_CONFIRM_INVITE"},
        {154, "MU_SVR_CLNT_STATUS"},
        {156, "MU_SVR_KBM_CTRL"},
        {161, "MU_SVR_VIDEO_PAUSE"},
        {165, "MU_SVR_VIDEO_PAUSE_STATE"},
        {170, "MU_SVR_GUEST_SIGNIN"},
        {300, "TUN_CTRL"},
        {322, "VH_SERVER_EVENT"},
        {324, "VH_LIST_DEVICES"},
        {325, "VH_DEVICE_LIST"},
        {326, "VH_CONNECT_DEVICE"},
        {327, "VH_DISCONNECT_DEVICE"},
        {328, "VH_PROXY_STATUS_REQUEST"},
        {330, "VH_CLIENT_FORCE_BIND_REQUEST"},
        {331, "VH_PROXY_STATUS_TUNNEL_DISCONNECTED"},
        {332, "VH_DEVICE_CONNECTED"},
        {333, "VH_DEVICE_DISCONNECTED"},
        {334, "VH_PROXY_STATUS_TUNNEL_CONNECTED"},
        {960, "NATIVE_CLIENT_FEATURES"},
        {1201, "HTTP_SERVERINFO"},
        {4000, "NATIVE_VS_RESET"},
        // Numbers that name no type.
        {6, "TYPE_NOT_MAPPED"},
        {7, "TYPE_NOT_MAPPED"},
        {10, "TYPE_NOT_MAPPED"},
        {13, "TYPE_NOT_MAPPED"},
        {323, "TYPE_NOT_MAPPED"},
        {329, "TYPE_NOT_MAPPED"},
        {-2, "TYPE_NOT_MAPPED"},
        {4001, "TYPE_NOT_MAPPED"},
        {INT_MAX, "TYPE_NOT_MAPPED"},
        {INT_MIN, "TYPE_NOT_MAPPED"},
    };
    int named = 0;
    for (const Case& c : cases) {
        EXPECT_EQ(messageTypeName(c.type), c.name) << c.type;
        if (c.type >= 0 && std::string(c.name) != "TYPE_NOT_MAPPED") ++named;
    }
    EXPECT_EQ(named, 69);
    // Every other number up to the largest type is unnamed.
    int mapped = 0;
    for (int type = 0; type <= 4000; ++type)
        if (messageTypeName(type) != "TYPE_NOT_MAPPED") ++mapped;
    EXPECT_EQ(mapped, 69);
}
