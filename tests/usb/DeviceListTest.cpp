// The daemon's device list held by the client: the change test, the rebuild
// with its allow list and change lists, the expiry of pending requests with
// an injected clock, and the JSON list for the page.
#include "LogCapture.h"
#include "UsbDeviceList.h"

#include <Poco/Exception.h>
#include <Poco/JSON/Object.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

struct Device {
    std::string address;
    int vendorId;
    int productId;
    int state;
    std::string name;
    std::string path;
};

std::string deviceJson(const Device& d) {
    return "{\"VHDevAddress\":\"" + d.address + "\",\"VHDevVendorId\":" + std::to_string(d.vendorId) +
           ",\"VHDevProductId\":" + std::to_string(d.productId) + ",\"VHDevState\":" + std::to_string(d.state) +
           ",\"VHDevPrettyName\":\"" + d.name + "\",\"VHDevPath\":\"" + d.path + "\"}";
}

// A daemon reply whose VHDevList holds the devices, then the raw extras.
QorMessage reply(const std::vector<Device>& devices, const std::string& extra = "") {
    std::string list;
    for (const Device& d : devices) list += (list.empty() ? "" : ",") + deviceJson(d);
    if (!extra.empty()) list += (list.empty() ? "" : ",") + extra;
    return QorMessage("{\"type\":324,\"VHErrType\":0,\"VHErrCode\":0,\"VHDevList\":[" + list + "]}");
}

// "address|name|state" per entry, in list order.
std::string listText(VHUsbEntryList& list) {
    std::string text;
    for (const auto& e : list.entries())
        text += (text.empty() ? "" : ";") + e->address + "|" + e->prettyName + "|" + std::to_string(e->state);
    return text;
}

std::int64_t fakeNow = 0;
std::int64_t fakeClock() { return fakeNow; }

class DeviceList : public ::testing::Test {
protected:
    void SetUp() override {
        fakeNow = 1000000;
        setUsbEntryClock(&fakeClock);
        clearEntryList(VHGlobalUsbEntryList);
    }
    void TearDown() override {
        clearEntryList(VHGlobalUsbEntryList);
        setUsbEntryClock(nullptr);
    }

    // Loads the devices as the held list; change lists are dropped.
    void hold(const std::vector<Device>& devices, const std::vector<std::string>& allow = {}) {
        VHUsbEntryList unplugged, disconnected, connected;
        loadList(reply(devices), unplugged, disconnected, connected, allow);
    }

    LogCapture log{"debug"};
};

const Device mouse{"host.11", 0x46d, 0xc077, UsbStateExported, "USB Optical Mouse", "/sys/bus/usb/devices/1-1"};
const Device keyboard{"host.12", 0x4d9, 0x1503, UsbStateExported, "Keyboard", "/sys/bus/usb/devices/1-2"};
const Device stickA{"host.13", 0x781, 0x5567, UsbStateExported, "Cruzer Blade", "/sys/bus/usb/devices/1-3"};
const Device stickB{"host.14", 0x781, 0x5567, UsbStateExported, "Cruzer Blade", "/sys/bus/usb/devices/1-4"};

Device with(Device d, int state) {
    d.state = state;
    return d;
}

} // namespace

TEST_F(DeviceList, ChangeTest) {
    Device renamed = mouse;
    renamed.name = "Other name";
    Device moved = mouse;
    moved.path = "/sys/bus/usb/devices/2-1";
    Device otherIds = mouse;
    otherIds.productId = 1;
    struct Case {
        const char* what;
        std::vector<Device> held;
        QorMessage reply;
        bool changed;
    } cases[] = {
        {"same devices, other order", {mouse, keyboard}, reply({keyboard, mouse}), false},
        {"only the name differs", {mouse}, reply({renamed}), false},
        {"only the enabled flag differs", {mouse}, reply({}, R"({"VHDevAddress":"host.11","VHDevVendorId":1133,)"
                                                               R"("VHDevProductId":49271,"VHDevState":1,)"
                                                               R"("VHDevPath":"/sys/bus/usb/devices/1-1",)"
                                                               R"("VHDevEnabled":0})"),
         false},
        {"one more device", {mouse}, reply({mouse, keyboard}), true},
        {"one fewer device", {mouse, keyboard}, reply({mouse}), true},
        {"an added invalid element", {mouse}, reply({mouse}, R"({"VHDevPrettyName":"no address"})"), false},
        {"another state", {mouse}, reply({with(mouse, UsbStateBound)}), true},
        {"another path", {mouse}, reply({moved}), true},
        {"other ids", {mouse}, reply({otherIds}), true},
        {"two identical devices, unchanged", {stickA, stickB}, reply({stickA, stickB}), false},
        {"a repeated address", {mouse}, reply({mouse, mouse}), false},
        {"empty reply, empty list", {}, reply({}), false},
        {"no list in the reply", {mouse}, QorMessage(R"({"type":324})"), false},
        {"null list in the reply", {mouse}, QorMessage(R"({"type":324,"VHDevList":null})"), false},
    };
    for (const Case& c : cases) {
        clearEntryList(VHGlobalUsbEntryList);
        hold(c.held);
        EXPECT_EQ(isDeviceListChanged(c.reply), c.changed) << c.what;
    }
    EXPECT_TRUE(log.contains("VHGlobalUsbEntryList: QorMessage does not contain QOR_MSG_VH_DEVICE_LIST"));
}

TEST_F(DeviceList, ChangeTestRaisesOnAnElementThatIsNoObject) {
    hold({mouse});
    EXPECT_THROW(isDeviceListChanged(reply({}, "[1]")), Poco::Exception);
    EXPECT_THROW(isDeviceListChanged(QorMessage(R"({"VHDevList":{"a":1}})")), Poco::Exception);
}

TEST_F(DeviceList, RebuildFillsTheChangeLists) {
    struct Case {
        const char* what;
        std::vector<Device> held;
        std::vector<Device> next;
        const char* connected;
        const char* disconnected;
        const char* unplugged;
    } cases[] = {
        {"exported to bound", {mouse}, {with(mouse, UsbStateBound)}, "host.11|USB Optical Mouse|2", "", ""},
        {"bound to release requested", {with(mouse, UsbStateBound)}, {with(mouse, UsbStateReleaseRequested)}, "",
         "host.11|USB Optical Mouse|0", ""},
        {"bound and gone", {with(mouse, UsbStateBound), keyboard}, {keyboard}, "", "|USB Optical Mouse|0",
         "host.11|USB Optical Mouse|0"},
        {"bind requested and gone", {with(mouse, UsbStateBindRequested)}, {}, "", "|USB Optical Mouse|0",
         "host.11|USB Optical Mouse|0"},
        {"exported and gone", {mouse}, {}, "", "", ""},
        {"release requested and gone", {with(mouse, UsbStateReleaseRequested)}, {}, "", "", ""},
        {"bound stays bound", {with(mouse, UsbStateBound)}, {with(mouse, UsbStateBound)}, "", "", ""},
        {"one of two identical devices bound", {stickA, stickB}, {stickA, with(stickB, UsbStateBound)},
         "host.14|Cruzer Blade|2", "", ""},
    };
    for (const Case& c : cases) {
        clearEntryList(VHGlobalUsbEntryList);
        hold(c.held);
        VHUsbEntryList unplugged, disconnected, connected;
        EXPECT_EQ(loadList(reply(c.next), unplugged, disconnected, connected, {}), !c.next.empty()) << c.what;
        EXPECT_EQ(listText(connected), c.connected) << c.what;
        EXPECT_EQ(listText(disconnected), c.disconnected) << c.what;
        EXPECT_EQ(listText(unplugged), c.unplugged) << c.what;
        EXPECT_EQ(VHGlobalUsbEntryList.size(), c.next.size()) << c.what;
        for (const auto* list : {&unplugged, &disconnected, &connected})
            for (const auto& e : list->entries()) {
                EXPECT_TRUE(e->enabled);
                EXPECT_EQ(e->timestamp, fakeNow);
            }
    }
}

TEST_F(DeviceList, TwoIdenticalDevicesAreBothListed) {
    VHUsbEntryList unplugged, disconnected, connected;
    EXPECT_TRUE(loadList(reply({stickA, stickB, stickA}), unplugged, disconnected, connected, {}));
    EXPECT_EQ(listText(VHGlobalUsbEntryList), "host.13|Cruzer Blade|1;host.14|Cruzer Blade|1");
    EXPECT_FALSE(isDeviceListChanged(reply({stickA, stickB})));
}

TEST_F(DeviceList, AllowList) {
    const Device stick{"host.15", 1, 2, UsbStateExported, "usb optical mouse Stick", ""};
    struct Case {
        std::vector<std::string> allow;
        const char* enabled; // one letter per device of {mouse, keyboard, stick}
    } cases[] = {
        {{}, "yyy"},
        {{"MOUSE"}, "yny"},
        {{"KEY", "OPTICAL MOUSE"}, "yyy"},
        {{"STICKS"}, "nnn"},
        {{""}, "yyy"},
        {{"USB OPTICAL MOUSE STICK AND MORE"}, "nnn"},
    };
    for (const Case& c : cases) {
        clearEntryList(VHGlobalUsbEntryList);
        hold({mouse, keyboard, stick}, c.allow);
        std::string enabled;
        for (const auto& e : VHGlobalUsbEntryList.entries()) enabled += e->enabled ? 'y' : 'n';
        EXPECT_EQ(enabled, c.enabled) << (c.allow.empty() ? "" : c.allow[0]);
    }
    EXPECT_TRUE(log.contains("USB device USB Optical Mouse enabled by white list"));
    EXPECT_TRUE(log.contains("USB device Keyboard not present in white list"));
    EXPECT_TRUE(log.contains("No USB device white list, adding entry Keyboard"));
}

TEST_F(DeviceList, ABadElementLeavesTheHeldListAndSendsNoChange) {
    hold({with(mouse, UsbStateBound), keyboard});
    for (const char* bad : {"[1]", "null", "\"text\"", R"({"VHDevAddress":["x"]})"}) {
        VHUsbEntryList unplugged, disconnected, connected;
        // The first device vanished (a change), then the bad element.
        EXPECT_THROW(loadList(reply({keyboard}, bad), unplugged, disconnected, connected, {}), Poco::Exception)
            << bad;
        EXPECT_EQ(listText(VHGlobalUsbEntryList), "host.11|USB Optical Mouse|2;host.12|Keyboard|1") << bad;
        EXPECT_TRUE(unplugged.empty() && disconnected.empty() && connected.empty()) << bad;
    }
}

TEST_F(DeviceList, ReplyWithoutListChangesNothing) {
    hold({mouse});
    VHUsbEntryList unplugged, disconnected, connected;
    EXPECT_FALSE(loadList(QorMessage(R"({"type":324})"), unplugged, disconnected, connected, {}));
    EXPECT_TRUE(log.contains("VHGlobalUsbEntryList: Invalid message in loadList, no QOR_MSG_VH_DEVICE_LIST tag"));
    EXPECT_EQ(VHGlobalUsbEntryList.size(), 1u);
}

TEST_F(DeviceList, ResultCountsValidElements) {
    VHUsbEntryList unplugged, disconnected, connected;
    EXPECT_FALSE(loadList(reply({}, R"({"VHDevPrettyName":"x"})"), unplugged, disconnected, connected, {}));
    hold({mouse});
    EXPECT_FALSE(loadList(reply({}), unplugged, disconnected, connected, {}));
    EXPECT_TRUE(VHGlobalUsbEntryList.empty());
}

TEST_F(DeviceList, PendingRequestsExpireAfterMoreThanEightSeconds) {
    hold({with(mouse, UsbStateBindRequested), with(keyboard, UsbStateReleaseRequested), with(stickA, UsbStateBound)});
    fakeNow += 8000;
    expirePendingRequests();
    EXPECT_EQ(countEntriesInState(UsbStateExported), 0);
    fakeNow += 1;
    log.clear();
    Poco::JSON::Array::Ptr array = new Poco::JSON::Array;
    buildDeviceListJson(array, false);
    EXPECT_EQ(countEntriesInState(UsbStateExported), 2);
    EXPECT_EQ(countEntriesInState(UsbStateBound), 1);
    EXPECT_TRUE(log.contains("Setting VirtualHere device state from USB Optical Mouse @ 'host.11', VendorID: 0x46d "
                             "ProdID : 0xc077 (bind requested) - enabled to exported"));
    EXPECT_EQ(log.count("Setting VirtualHere device state from "), 2);
    // The expiry stamps the entries anew: nothing more expires now.
    log.clear();
    fakeNow += 8001;
    expirePendingRequests();
    EXPECT_FALSE(log.contains("Setting VirtualHere device state"));
    // The JSON built after the expiry shows the new states.
    EXPECT_EQ(array->getObject(0)->getValue<int>("VHDevState"), UsbStateExported);
}

TEST_F(DeviceList, CountsFindsAndResets) {
    hold({with(mouse, UsbStateBindRequested), with(keyboard, UsbStateIgnored), with(stickA, UsbStateBindRequested),
          with(stickB, UsbStateError)});
    EXPECT_EQ(countEntriesInState(UsbStateBindRequested), 2);
    std::string address = "unchanged", name = "unchanged";
    EXPECT_TRUE(entryInStateAt(1, UsbStateBindRequested, address, name));
    EXPECT_EQ(address, "host.13");
    EXPECT_EQ(name, "Cruzer Blade");
    address = name = "unchanged";
    EXPECT_FALSE(entryInStateAt(2, UsbStateBindRequested, address, name));
    EXPECT_EQ(address, "unchanged");
    EXPECT_EQ(name, "unchanged");

    EXPECT_TRUE(resetEntryStates());
    EXPECT_EQ(listText(VHGlobalUsbEntryList),
              "host.11|USB Optical Mouse|0;host.12|Keyboard|5;host.13|Cruzer Blade|0;host.14|Cruzer Blade|6");
    EXPECT_FALSE(resetEntryStates());
}

TEST_F(DeviceList, JsonForThePage) {
    hold({mouse, keyboard}, {"MOUSE"});
    Poco::JSON::Array::Ptr all = new Poco::JSON::Array;
    fillDeviceListJson(all, false);
    ASSERT_EQ(all->size(), 2u);
    EXPECT_EQ(all->getObject(1)->getValue<int>("VHDevEnabled"), 0);
    Poco::JSON::Array::Ptr enabled = new Poco::JSON::Array;
    fillDeviceListJson(enabled, true);
    ASSERT_EQ(enabled->size(), 1u);
    std::ostringstream text;
    enabled->stringify(text);
    EXPECT_EQ(text.str(), "[{\"VHDevAddress\":\"host.11\",\"VHDevEnabled\":1,\"VHDevPath\":\"/sys/bus/usb/devices/1-1\","
                          "\"VHDevPrettyName\":\"USB Optical Mouse\",\"VHDevProductId\":49271,\"VHDevState\":1,"
                          "\"VHDevVendorId\":1133}]");
    EXPECT_THROW(fillDeviceListJson(Poco::JSON::Array::Ptr(), false), Poco::NullPointerException);
}
