#include "NativeClientHooks.h"

void startNativeClientThread() {}

bool startJsBridge() { return false; }

bool jsBridgeCreated() { return false; }

void postScreenClosed(int) {}
