// Start-up's calls into the connection side of the client: the NativeClient
// thread and the js-bridge. Until that code is part of the client there is
// no thread to start and no bridge; the calls and their order stay.
#pragma once

// NativeClient::instance() and its start (no time-out).
void startNativeClientThread();
// Creates the js-bridge and starts its server; true when it runs.
bool startJsBridge();
// True while a js-bridge object exists (main's jsBridge pointer).
bool jsBridgeCreated();
// Tells the NativeClient thread that the user closed a screen's window.
void postScreenClosed(int screen);
