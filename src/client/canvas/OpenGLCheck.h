// The start-up check for OpenGL 2.1 and the message box shown without it.
// Main thread only; the Qt GUI application must exist.
#pragma once

#include <string>

// Results of detectOpenGLVersion: 0 / empty until it ran or when unknown.
extern int glMajorVersion;
extern int glMinorVersion;
extern std::string glVersionString;

// Makes an offscreen context, reads its version and logs it; true for
// OpenGL 2.1 or later.
bool detectOpenGLVersion();

// Modal warning about the missing OpenGL 2.1; true when the user chose to go
// on without OpenGL, false for Abort (also Escape and closing the box).
bool showOpenGLWarning();

// The text of that message box for the detected version.
std::string openGLWarningMessage();

// Major and minor number from a GL_VERSION text ("2.1.0 Mesa ..."): the
// text before the first blank must hold a '.'; a part that is not a decimal
// number counts as 0. False (and nothing written) without a '.'.
bool parseOpenGLVersion(const std::string& versionText, int& major, int& minor);

// How long the quick test waits for its window's OpenGL context.
constexpr int QUICK_TEST_CONTEXT_TIMEOUT_MS = 10000;

// The quick OpenGL test of the start-up: shows a screen window, times plane
// copies and asks whether the colour format of the text can be drawn.
// Returns the exit code: 0 without problems, -1 with problems, also when the
// window gets no OpenGL context within the time.
int runQuickOpenGLTest(const std::string& formatText, int contextTimeoutMs = QUICK_TEST_CONTEXT_TIMEOUT_MS);
