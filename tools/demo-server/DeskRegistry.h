// The desks of the running server by client id.
#pragma once

#include "Desk.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

class DeskRegistry {
public:
    void add(const std::shared_ptr<Desk>& desk);
    std::shared_ptr<Desk> find(const std::string& clientId) const;
    void remove(const std::string& clientId);
    // Closes every desk, so that the threads serving them return.
    void closeAll();

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::shared_ptr<Desk>> desks_;
};
