#include "ServiceManager.h"

#include "Utilities.h"

#include <Poco/Thread.h>

#include <atomic>

namespace {
std::atomic<ServiceManager*> replacement{nullptr};
}

std::int64_t ServiceManager::nowMs() { return monotonicMillis(); }

void ServiceManager::sleepMs(int milliseconds) { Poco::Thread::sleep(milliseconds); }

ServiceManager& serviceManager() {
    ServiceManager* manager = replacement.load();
    return manager != nullptr ? *manager : platformServiceManager();
}

void setServiceManager(ServiceManager* manager) { replacement.store(manager); }
