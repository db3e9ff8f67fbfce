#include "ThreadRegistry.h"

#include "QorThread.h"

#include <Poco/Mutex.h>

namespace qor {

namespace {

struct RegistryHead {
    Poco::FastMutex mutex;
    QorThread* head = nullptr;
};

// Function-local so that threads created during static initialisation
// find the registry ready.
RegistryHead& registry() {
    static RegistryHead instance;
    return instance;
}

} // namespace

void ThreadRegistry::add(QorThread* thread) {
    RegistryHead& r = registry();
    Poco::FastMutex::ScopedLock guard(r.mutex);
    thread->nextInRegistry_ = r.head;
    r.head = thread;
}

void ThreadRegistry::remove(QorThread* thread) {
    RegistryHead& r = registry();
    Poco::FastMutex::ScopedLock guard(r.mutex);
    QorThread** link = &r.head;
    while (*link && *link != thread) link = &(*link)->nextInRegistry_;
    if (*link) *link = thread->nextInRegistry_;
    thread->nextInRegistry_ = nullptr;
}

std::vector<const QorThread*> ThreadRegistry::snapshot() {
    RegistryHead& r = registry();
    Poco::FastMutex::ScopedLock guard(r.mutex);
    std::vector<const QorThread*> result;
    for (const QorThread* t = r.head; t; t = t->nextInRegistry_) result.push_back(t);
    return result;
}

} // namespace qor
