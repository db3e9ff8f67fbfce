// The USB ids database (the usb.ids file of the system: vendor names and
// the product names below each vendor), read once on first use.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class UsbIdsDatabase {
public:
    // Reads the first of the files that can be read, on first use.
    explicit UsbIdsDatabase(std::vector<std::string> candidates);

    // The system's database: the file named by QDK_USB_IDS, else the usual
    // places of Debian's usb.ids.
    static UsbIdsDatabase& system();

    // "" when the vendor or the product is not listed.
    std::string vendorName(std::uint16_t vendorId);
    std::string productName(std::uint16_t vendorId, std::uint16_t productId);
    // The file read, "" when none could be.
    std::string fileName();

private:
    void load();

    std::vector<std::string> candidates_;
    std::once_flag loaded_;
    std::string fileName_;
    std::map<std::uint16_t, std::string> vendors_;
    std::map<std::uint32_t, std::string> products_;
};
