// One entry of the canvas registry: a registered canvas, or a template that
// a retriever waits on until the canvas of its id is added.
#pragma once

#include <Poco/Semaphore.h>

namespace qor {

class QorCanvas;

class QorCanvasListEntry {
public:
    QorCanvasListEntry(QorCanvas* canvas, int id);
    ~QorCanvasListEntry();
    QorCanvasListEntry(const QorCanvasListEntry&) = delete;
    QorCanvasListEntry& operator=(const QorCanvasListEntry&) = delete;

    QorCanvas* canvas; // not owned; null in a template entry
    int id;
    Poco::Semaphore ready{0, 1};
    // Retrievers that looked the entry up and have not taken its canvas yet
    // (they wait without the registry's lock): such an entry is not freed
    // under them. Guarded by canvasRegistryLock.
    int retrievers = 0;
};

} // namespace qor
