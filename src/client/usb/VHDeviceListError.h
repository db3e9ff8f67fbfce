// The daemon's error replies to the device list requests (its USB server
// does not run, say). While one error stands, the poll ticks meet it once a
// tick: it is logged at its own level when it begins, and its end is logged
// once; the page gets it when it is not the last USB message the page got,
// so that a USB server that stays away costs no log line and no page
// message per tick, while a new page, or a page told something else in
// between, learns the standing error again.
//
// Its lock is taken last: nothing else is taken while it is held.
#pragma once

#include "OwnerLock.h"

#include <string>

class VHDeviceListError {
public:
    // An error reply (its JSON text): true when it is not the error that
    // stands already, which it now is.
    bool failed(const std::string& reply);
    // A device list came: true when an error stood until now.
    bool ended();

    // Whether the message is not the last one the page got.
    bool untold(const std::string& message) const;
    // The page got the message.
    void told(const std::string& message);
    // A new page: it has got nothing yet.
    void forgetTold();

private:
    mutable OwnerLock lock_;
    std::string standing_;
    std::string told_;
};

extern VHDeviceListError vhDeviceListError;
