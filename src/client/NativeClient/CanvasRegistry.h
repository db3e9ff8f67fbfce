// Process-wide map from canvas id to canvas. Windows register their canvas;
// a screen's decoder takes it out (waiting for a window that is not there
// yet) and its session gives it back. The registry never owns canvases.
#pragma once

#include "OwnerLock.h"

#include <map>

namespace qor {

class QorCanvas;
class QorCanvasListEntry;

extern OwnerLock canvasRegistryLock;
extern std::map<int, QorCanvasListEntry*> canvasRegistry;

// How long a retriever waits for the canvas of its id.
constexpr long CANVAS_RETRIEVE_TIMEOUT_MS = 10000;

bool addCanvas(QorCanvas* canvas);
// As addCanvas, for callers that hold canvasRegistryLock.
bool addCanvasUnlocked(QorCanvas* canvas);
// Takes the canvas of the id out of the registry. Without an entry, wait
// false returns null at once; otherwise it waits up to the time-out.
QorCanvas* retrieveCanvas(int id, bool wait, long timeoutMs = CANVAS_RETRIEVE_TIMEOUT_MS);
bool relabelCanvas(int fromId, int toId);
// Takes every entry of the canvas out of the registry; a canvas calls it
// when it is destroyed. A retriever that is about to take it gets null.
void removeCanvas(QorCanvas* canvas);
// Frees every entry the registry still holds, templates included, and
// empties it; the canvases are not touched. For the end of the program (and
// of a test), when no decoder or session uses the registry any more.
void clearCanvasRegistry();

} // namespace qor
