#include "QorCanvasListEntry.h"

#include "Logging.h"

namespace qor {

QorCanvasListEntry::QorCanvasListEntry(QorCanvas* canvas, int id) : canvas(canvas), id(id) {
    if (isTraceEnabled()) logTrace("QorCanvasListEntry created " + std::to_string(id));
}

QorCanvasListEntry::~QorCanvasListEntry() {
    if (isTraceEnabled()) logTrace("QorCanvasListEntry deleted " + std::to_string(id));
}

} // namespace qor
