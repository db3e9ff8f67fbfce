// The built-in "#version 100" GLSL sources of the canvas programs, compiled
// in from resources/shaders. One vertex shader serves all five programs; it
// maps the drawn rectangle to the viewport and derives the texture
// coordinate from the position (top edge = texture row 0).
#pragma once

extern const char* const vertexShaderSource;
// texture0 unchanged (RGB24, RGBA, 10-bit RGB).
extern const char* const rgbFragmentSource;
// GBRP: green from texture0, blue from texture1, red from texture2.
extern const char* const rgbpFragmentSource;
// NV12: luma from texture0, interleaved U and V from texture1.
extern const char* const nv12FragmentSource;
// YUV420p and YUV444p: Y, U and V from texture0, texture1 and texture2.
extern const char* const yuvFragmentSource;
