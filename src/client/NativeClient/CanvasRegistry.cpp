#include "CanvasRegistry.h"

#include "Logging.h"
#include "QorCanvas.h"
#include "QorCanvasListEntry.h"

#include <string>

namespace qor {

OwnerLock canvasRegistryLock;
std::map<int, QorCanvasListEntry*> canvasRegistry;

namespace {

// The registry's lines carry the name of the NativeClient thread.
const std::string prefix = "NativeClient: ";

} // namespace

bool addCanvas(QorCanvas* canvas) {
    ScopedOwnerLock guard(canvasRegistryLock);
    return addCanvasUnlocked(canvas);
}

void clearCanvasRegistry() {
    ScopedOwnerLock guard(canvasRegistryLock);
    for (auto& entry : canvasRegistry) delete entry.second;
    canvasRegistry.clear();
}

bool addCanvasUnlocked(QorCanvas* canvas) {
    if (canvas == nullptr) {
        logError(prefix + "Canvas is NULL");
        return false;
    }
    const int id = canvas->canvasId();
    const std::string idText = std::to_string(id);
    if (isDebugEnabled()) logDebug(prefix + "Adding canvas " + idText);
    auto it = canvasRegistry.find(id);
    if (it == canvasRegistry.end()) {
        QorCanvasListEntry* entry = new QorCanvasListEntry(canvas, id);
        canvasRegistry.emplace(id, entry);
        if (isDebugEnabled()) logDebug(prefix + "Added canvas " + idText);
        entry->ready.set();
        return true;
    }
    QorCanvasListEntry* entry = it->second;
    if (entry == nullptr) {
        logError(prefix + "Canvas map is corrupted.");
        return false;
    }
    if (entry->canvas == nullptr) {
        entry->canvas = canvas;
        entry->ready.set();
        return true;
    }
    if (entry->canvas == canvas) {
        logError(prefix + "Trying to add canvas " + idText + " twice");
    } else {
        logError(prefix + "Add canvas " + idText + " with existing id");
    }
    return false;
}

QorCanvas* retrieveCanvas(int id, bool wait, long timeoutMs) {
    const std::string idText = std::to_string(id);
    if (isDebugEnabled()) logDebug(prefix + "Request to retrieve canvas " + idText);
    QorCanvasListEntry* entry = nullptr;
    {
        ScopedOwnerLock guard(canvasRegistryLock);
        auto it = canvasRegistry.find(id);
        if (it != canvasRegistry.end()) {
            entry = it->second;
        } else {
            if (!wait) return nullptr;
            entry = new QorCanvasListEntry(nullptr, id);
            canvasRegistry.emplace(id, entry);
            if (isDebugEnabled()) logDebug(prefix + "Added canvas template for " + idText);
        }
        if (entry == nullptr) {
            logError(prefix + "Canvas map is corrupted.");
            return nullptr;
        }
        ++entry->retrievers;
    }
    // The lock is free while we wait, so the GUI can fill the template.
    if (!entry->ready.tryWait(timeoutMs)) {
        ScopedOwnerLock guard(canvasRegistryLock);
        --entry->retrievers;
        logCritical(prefix + "Timed out during retrieval of canvas " + idText);
        return nullptr;
    }
    ScopedOwnerLock guard(canvasRegistryLock);
    --entry->retrievers;
    // Null when the canvas was removed (its window deleted) meanwhile.
    QorCanvas* canvas = entry->canvas;
    if (canvasRegistry.erase(id) != 0) {
        delete entry;
        if (isDebugEnabled()) logDebug(prefix + "Removed canvas list entry " + idText);
    } else {
        logCritical(prefix + "Can't remove canvas list entry  " + idText);
    }
    if (isDebugEnabled()) logDebug(prefix + "Returned canvas " + idText);
    return canvas;
}

void removeCanvas(QorCanvas* canvas) {
    if (canvas == nullptr) return;
    ScopedOwnerLock guard(canvasRegistryLock);
    for (auto it = canvasRegistry.begin(); it != canvasRegistry.end();) {
        QorCanvasListEntry* entry = it->second;
        if (entry == nullptr || entry->canvas != canvas) {
            ++it;
            continue;
        }
        if (isDebugEnabled()) logDebug(prefix + "Removing deleted canvas " + std::to_string(it->first));
        if (entry->retrievers > 0) {
            // A retriever holds the entry: it takes the null and erases it.
            entry->canvas = nullptr;
            ++it;
        } else {
            delete entry;
            it = canvasRegistry.erase(it);
        }
    }
}

bool relabelCanvas(int fromId, int toId) {
    const std::string fromText = std::to_string(fromId);
    if (isDebugEnabled())
        logDebug(prefix + "Request to relabel canvas " + fromText + " to " + std::to_string(toId));
    ScopedOwnerLock guard(canvasRegistryLock);
    auto it = canvasRegistry.find(fromId);
    if (it == canvasRegistry.end()) {
        if (isDebugEnabled()) logDebug(prefix + "Can't find canvas to relabel " + fromText);
        return false;
    }
    QorCanvasListEntry* entry = it->second;
    if (entry == nullptr) {
        logError(prefix + "Relabel canvas, map is corrupted.");
        return false;
    }
    if (entry->canvas == nullptr) {
        logError(prefix + "Relabel canvas, map is corrupted (no canvas present).");
        return false;
    }
    // A canvas is only moved onto a free id (or a template waiting for it);
    // otherwise it stays registered where it was.
    auto target = canvasRegistry.find(toId);
    if (target != canvasRegistry.end() && (target->second == nullptr || target->second->canvas != nullptr)) {
        logError(prefix + "Add canvas " + std::to_string(toId) + " with existing id");
        return false;
    }
    QorCanvas* canvas = entry->canvas;
    canvasRegistry.erase(it);
    delete entry;
    canvas->setCanvasId(toId);
    if (isDebugEnabled()) logDebug(prefix + "Adding canvas again ...");
    return addCanvasUnlocked(canvas);
}

} // namespace qor
