// A text that one thread replaces while others copy it: a reader gets the
// old or the new text whole.
#pragma once

#include <Poco/Mutex.h>

#include <string>

namespace qor {

class LockedText {
public:
    std::string get() const {
        Poco::FastMutex::ScopedLock guard(lock_);
        return text_;
    }
    void set(const std::string& text) {
        Poco::FastMutex::ScopedLock guard(lock_);
        text_ = text;
    }

private:
    mutable Poco::FastMutex lock_;
    std::string text_;
};

} // namespace qor
