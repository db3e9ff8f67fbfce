#include "DeskRegistry.h"

void DeskRegistry::add(const std::shared_ptr<Desk>& desk) {
    std::lock_guard<std::mutex> lock(mutex_);
    desks_[desk->clientId()] = desk;
}

std::shared_ptr<Desk> DeskRegistry::find(const std::string& clientId) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = desks_.find(clientId);
    return it == desks_.end() ? nullptr : it->second;
}

void DeskRegistry::remove(const std::string& clientId) {
    std::lock_guard<std::mutex> lock(mutex_);
    desks_.erase(clientId);
}

void DeskRegistry::closeAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& entry : desks_) entry.second->close();
}
