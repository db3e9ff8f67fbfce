// Linux: the device's usbfs file is opened here (so a refusal carries the
// system's reason) and handed to libusb, which asks the device for its
// strings. libusb runs without device discovery: it needs no bus scan.
#include "UsbDeviceOpener.h"

#include <libusb.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr unsigned int requestTimeoutMs = 1000;

class LibusbStringSource : public UsbStringSource {
public:
    LibusbStringSource(libusb_device_handle* handle, int fd) : handle_(handle), fd_(fd) {}
    ~LibusbStringSource() override {
        libusb_close(handle_);
        ::close(fd_);
    }
    bool readStringDescriptor(std::uint8_t index, std::uint16_t language,
                              std::vector<std::uint8_t>& descriptor) override {
        unsigned char buffer[255];
        const int count = libusb_control_transfer(
            handle_, LIBUSB_ENDPOINT_IN, LIBUSB_REQUEST_GET_DESCRIPTOR,
            static_cast<std::uint16_t>((LIBUSB_DT_STRING << 8) | index), language, buffer, sizeof buffer,
            requestTimeoutMs);
        if (count < 0) return false;
        descriptor.assign(buffer, buffer + count);
        return true;
    }

private:
    libusb_device_handle* handle_;
    int fd_;
};

class LibusbDeviceOpener : public UsbDeviceOpener {
public:
    LibusbDeviceOpener() {
        libusb_set_option(nullptr, LIBUSB_OPTION_NO_DEVICE_DISCOVERY);
        const int result = libusb_init(&context_);
        if (result != 0) {
            context_ = nullptr;
            initError_ = std::string("libusb: ") + libusb_strerror(static_cast<libusb_error>(result));
        }
    }
    ~LibusbDeviceOpener() override {
        if (context_ != nullptr) libusb_exit(context_);
    }

    std::unique_ptr<UsbStringSource> open(const std::string& deviceNode, std::string& reason) override {
        if (context_ == nullptr) {
            reason = initError_;
            return nullptr;
        }
        const int fd = ::open(deviceNode.c_str(), O_RDWR | O_CLOEXEC);
        if (fd < 0) {
            reason = deviceNode + ": " + std::strerror(errno);
            return nullptr;
        }
        libusb_device_handle* handle = nullptr;
        const int result = libusb_wrap_sys_device(context_, static_cast<intptr_t>(fd), &handle);
        if (result != 0) {
            ::close(fd);
            reason = deviceNode + ": libusb: " + libusb_strerror(static_cast<libusb_error>(result));
            return nullptr;
        }
        return std::make_unique<LibusbStringSource>(handle, fd);
    }

private:
    libusb_context* context_ = nullptr;
    std::string initError_;
};

} // namespace

std::unique_ptr<UsbDeviceOpener> makeUsbDeviceOpener() { return std::make_unique<LibusbDeviceOpener>(); }
