#include "UsbIdsDatabase.h"

#include "Logging.h"

#include <cstdlib>
#include <fstream>

namespace {

bool hexDigits(const std::string& line, std::size_t at, std::size_t count, std::uint16_t& value) {
    if (line.size() < at + count) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        const char c = line[i];
        int digit = 0;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return false;
        value = static_cast<std::uint16_t>(value * 16 + digit);
    }
    return true;
}

// The name after "<id>  " (4 hex digits and two blanks at `at`), or "".
bool entryName(const std::string& line, std::size_t at, std::uint16_t& id, std::string& name) {
    if (!hexDigits(line, at, 4, id) || line.compare(at + 4, 2, "  ") != 0) return false;
    name = line.substr(at + 6);
    while (!name.empty() && (name.back() == '\r' || name.back() == ' ')) name.pop_back();
    return true;
}

} // namespace

UsbIdsDatabase::UsbIdsDatabase(std::vector<std::string> candidates) : candidates_(std::move(candidates)) {}

UsbIdsDatabase& UsbIdsDatabase::system() {
    static UsbIdsDatabase database([] {
        std::vector<std::string> files;
        if (const char* chosen = std::getenv("QDK_USB_IDS")) files.emplace_back(chosen);
        files.emplace_back("/usr/share/misc/usb.ids");
        files.emplace_back("/usr/share/hwdata/usb.ids");
        files.emplace_back("/var/lib/usbutils/usb.ids");
        return files;
    }());
    return database;
}

void UsbIdsDatabase::load() {
    for (const std::string& candidate : candidates_) {
        std::ifstream file(candidate);
        if (!file) continue;
        fileName_ = candidate;
        std::string line;
        bool inVendor = false;
        std::uint16_t vendor = 0;
        while (std::getline(file, line)) {
            if (line.empty() || line[0] == '#') continue;
            std::uint16_t id = 0;
            std::string name;
            if (line[0] == '\t') {
                if (inVendor && line.size() > 1 && line[1] != '\t' && entryName(line, 1, id, name))
                    products_[(std::uint32_t(vendor) << 16) | id] = name;
            } else if (entryName(line, 0, id, name)) {
                vendor = id;
                vendors_[id] = name;
                inVendor = true;
            } else {
                // The class, language and other lists that follow the vendors.
                inVendor = false;
            }
        }
        return;
    }
    if (isDebugEnabled()) logDebug("No USB ids database found");
}

std::string UsbIdsDatabase::vendorName(std::uint16_t vendorId) {
    std::call_once(loaded_, [this] { load(); });
    auto it = vendors_.find(vendorId);
    return it == vendors_.end() ? std::string() : it->second;
}

std::string UsbIdsDatabase::productName(std::uint16_t vendorId, std::uint16_t productId) {
    std::call_once(loaded_, [this] { load(); });
    auto it = products_.find((std::uint32_t(vendorId) << 16) | productId);
    return it == products_.end() ? std::string() : it->second;
}

std::string UsbIdsDatabase::fileName() {
    std::call_once(loaded_, [this] { load(); });
    return fileName_;
}
