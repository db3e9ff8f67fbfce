// The OpenGL capability check of the start-up: OpenGL 2.1 or later, and the
// question to the user when it is missing.
#pragma once

// True when an OpenGL context of version 2.1 or later can be created.
bool detectOpenGLVersion();
// Asks whether to go on without OpenGL; false when the user chose "Abort".
bool showOpenGLWarning();
