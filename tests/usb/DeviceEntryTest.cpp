// A device entry: its JSON object inside VHDevList (read and written), its
// state names and its log texts.
#include "LogCapture.h"
#include "VHUsbEntry.h"

#include <Poco/JSON/Parser.h>

#include <gtest/gtest.h>

#include <sstream>

namespace {

Poco::JSON::Object::Ptr object(const std::string& json) {
    Poco::JSON::Parser parser;
    return parser.parse(json).extract<Poco::JSON::Object::Ptr>();
}

std::string compact(const Poco::JSON::Object::Ptr& object) {
    std::ostringstream out;
    object->stringify(out);
    return out.str();
}

} // namespace

TEST(DeviceEntry, WrittenObjectHasSevenMembersInKeyOrder) {
    VHUsbEntry entry = makeUsbEntry(0x46d, 0xc52b, "host.114", "USB Receiver", UsbStateBound);
    entry.path = "/sys/bus/usb/devices/1-2";
    entry.enabled = false;
    Poco::JSON::Object::Ptr written = new Poco::JSON::Object;
    entryToJson(entry, written);
    EXPECT_EQ(compact(written),
              "{\"VHDevAddress\":\"host.114\",\"VHDevEnabled\":0,\"VHDevPath\":\"/sys/bus/usb/devices/1-2\","
              "\"VHDevPrettyName\":\"USB Receiver\",\"VHDevProductId\":50475,\"VHDevState\":2,"
              "\"VHDevVendorId\":1133}");

    VHUsbEntry read = makeUsbEntry();
    ASSERT_TRUE(parseVHUsbEntry(read, written));
    EXPECT_EQ(read.address, entry.address);
    EXPECT_EQ(read.path, entry.path);
    EXPECT_EQ(read.prettyName, entry.prettyName);
    EXPECT_EQ(read.vendorId, entry.vendorId);
    EXPECT_EQ(read.productId, entry.productId);
    EXPECT_EQ(read.state, entry.state);
    EXPECT_FALSE(read.enabled);
}

TEST(DeviceEntry, ReadingChecksEveryMember) {
    struct Case {
        const char* json;
        bool valid;
        const char* line; // a line that must be logged, or ""
        std::int32_t productId;
        bool enabled;
        const char* name;
    } cases[] = {
        {R"({"VHDevAddress":"a.1"})", true, "", 0, true, ""},
        {R"({"VHDevProductId":5})", false, "", 5, true, ""},              // address required
        {R"({"VHDevAddress":""})", false, "", 0, true, ""},
        {R"({"VHDevAddress":"a.1","VHDevProductId":"1234"})", true, "", 1234, true, ""},
        {R"({"VHDevAddress":"a.1","VHDevProductId":"abc"})", false, "Can't parse usb product id", 0, true, ""},
        {R"({"VHDevAddress":"a.1","VHDevProductId":null})", false, "Can't parse usb product id", 0, true, ""},
        {R"({"VHDevAddress":"a.1","VHDevProductId":4294967296})", false, "Can't parse usb product id", 0, true, ""},
        {R"({"VHDevAddress":"a.1","VHDevVendorId":"x1"})", false, "Can't parse usb vendor id", 0, true, ""},
        {R"({"VHDevAddress":"a.1","VHDevState":"bound"})", false, "Can't parse device state", 0, true, ""},
        {R"({"VHDevAddress":"a.1","VHDevEnabled":[1]})", true, "Can't parse device enabled state", 0, false, ""},
        {R"({"VHDevAddress":"a.1","VHDevEnabled":0})", true, "", 0, false, ""},
        {R"({"VHDevAddress":"a.1","VHDevPrettyName":"Mouse\tOne\u00e9"})", true, "", 0, true, "MouseOne"},
        {R"({"VHDevAddress":"a.\u0001"})", false, "argument: dev-address", 0, true, ""},
        {R"({"VHDevAddress":"a.1","VHDevPath":"p\u0007"})", false, "argument: dev-path", 0, true, ""},
    };
    for (const Case& c : cases) {
        LogCapture log;
        VHUsbEntry entry = makeUsbEntry();
        EXPECT_EQ(parseVHUsbEntry(entry, object(c.json)), c.valid) << c.json;
        if (*c.line != '\0') {
            EXPECT_TRUE(log.contains(c.line)) << c.json;
        }
        EXPECT_EQ(entry.productId, c.productId) << c.json;
        EXPECT_EQ(entry.enabled, c.enabled) << c.json;
        EXPECT_EQ(entry.prettyName, c.name) << c.json;
    }
}

TEST(DeviceEntry, NameOfMaximalLengthPassesAndOneMoreFails) {
    VHUsbEntry entry = makeUsbEntry();
    const std::string name(3072, 'n');
    EXPECT_TRUE(parseVHUsbEntry(entry, object("{\"VHDevAddress\":\"a\",\"VHDevPrettyName\":\"" + name + "\"}")));
    entry = makeUsbEntry();
    EXPECT_FALSE(parseVHUsbEntry(entry, object("{\"VHDevAddress\":\"a\",\"VHDevPrettyName\":\"" + name + "n\"}")));
}

TEST(DeviceEntry, AddressThatIsNoTextRaises) {
    VHUsbEntry entry = makeUsbEntry();
    EXPECT_ANY_THROW(parseVHUsbEntry(entry, object(R"({"VHDevAddress":null})")));
    EXPECT_ANY_THROW(parseVHUsbEntry(entry, object(R"({"VHDevAddress":["a"]})")));
    EXPECT_ANY_THROW(parseVHUsbEntry(entry, object(R"({"VHDevAddress":"a","VHDevPrettyName":{"a":1}})")));
    EXPECT_ANY_THROW(parseVHUsbEntry(entry, Poco::JSON::Object::Ptr()));
}

TEST(DeviceEntry, StateNames) {
    const char* names[] = {"discovered",        "exported", "bound", "bind requested",
                           "release requested", "ignored",  "error", "unknown"};
    for (int state = 0; state <= 7; ++state) EXPECT_EQ(deviceStateName(state), names[state]) << state;
    EXPECT_EQ(deviceStateName(-1), "unknown");
}

TEST(DeviceEntry, Texts) {
    VHUsbEntry unnamed = makeUsbEntry(0x46D, 0xA5C, "", "", UsbStateDiscovered);
    EXPECT_EQ(entryDisplayName(unnamed), "0x46d/0xa5c");
    EXPECT_EQ(describeEntry(unnamed), "0x46d/0xa5c, VendorID: 0x46d ProdID : 0xa5c (discovered) - enabled");
    VHUsbEntry named = makeUsbEntry(0x46D, 0xC52B, "host.11", "Logitech USB Receiver", UsbStateBindRequested);
    named.enabled = false;
    EXPECT_EQ(describeEntry(named),
              "Logitech USB Receiver @ 'host.11', VendorID: 0x46d ProdID : 0xc52b (bind requested) - disabled");
}

TEST(DeviceEntry, TextHelpers) {
    struct Case {
        const char* text;
        const char* stripped;
    } cases[] = {{"", ""}, {"abc", "abc"}, {"a\tb\x7f" "c", "abc"}, {"\xc3\xa9t\xc3\xa9", "t"}, {" ~", " ~"}};
    for (const Case& c : cases) {
        std::string text = c.text;
        stripNonPrintable(text);
        EXPECT_EQ(text, c.stripped);
    }
    EXPECT_EQ(toUpperHex(0x0A5C), "A5C");
    EXPECT_EQ(toUpperHex(0), "0");
    EXPECT_EQ(toUpperHex(0xFFFFFFFF), "FFFFFFFF");
}
