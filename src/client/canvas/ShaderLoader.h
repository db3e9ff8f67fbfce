// Builds and deletes the canvas's GLSL programs, one per pixel family, from
// the built-in sources or from the shader files the settings name, with the
// texts every step logs. GUI thread, the canvas's GL context current.
#pragma once

#include "PixelFamily.h"
#include "ShaderProgram.h"

#include <QOpenGLFunctions_2_0>

#include <string>

class PlaneTextures;

namespace qor {
class QorCanvas;
}

class ShaderLoader {
public:
    ShaderLoader(QOpenGLFunctions_2_0& gl, const qor::QorCanvas& canvas, const PlaneTextures& textures);

    // Builds (or rebuilds) the family's program into the record; true when
    // it linked and every sampler was found.
    bool build(PixelFamily family, ShaderProgram& record);
    // Samplers of the family's program (texture0 up), one per plane.
    static int samplerCount(PixelFamily family);
    // Deletes the record's GL objects and empties it.
    void unload(PixelFamily family, ShaderProgram& record);
    // Produces, compiles and attaches one shader from the file at `path`
    // (the built-in source when empty or unreadable).
    bool loadSingleShader(const char* builtIn, const std::string& path, GLuint* shader, bool vertex,
                          GLuint program);

private:
    std::string prefix() const;

    QOpenGLFunctions_2_0& gl;
    const qor::QorCanvas& canvas;
    const PlaneTextures& textures;
};
