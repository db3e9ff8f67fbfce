#include "WebResources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE names a function of the global namespace.
static void registerWebResources() { Q_INIT_RESOURCE(web); }

void initWebResources() {
    static const bool registered = (registerWebResources(), true);
    (void)registered;
}
