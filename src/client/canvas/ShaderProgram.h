// One GLSL program of the canvas and its two shaders, as GL names (0 =
// none), with the uniform locations of its samplers texture0..texture2.
#pragma once

#include <QOpenGLFunctions_2_0>

#include <atomic>

struct ShaderProgram {
    GLuint program = 0;
    GLuint fragmentShader = 0;
    GLuint vertexShader = 0;
    GLint samplerLocations[3] = {0, 0, 0};
    // Read by decoder threads through supportsColorFormat.
    std::atomic<bool> linked{false};
};
