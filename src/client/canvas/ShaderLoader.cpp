#include "ShaderLoader.h"

#include "ClientSettings.h"
#include "FileHelpers.h"
#include "Logging.h"
#include "PlaneTextures.h"
#include "QorCanvas.h"
#include "ShaderSources.h"

#include <cstddef>
#include <memory>
#include <new>

namespace {

constexpr std::size_t shaderBufferSize = 10485760;

// Per-program texts and settings.
struct ProgramTexts {
    const char* reprogramming;
    const char* programming;
    const char* createFailure;
    const char* linkFailure;
    const char* linked;
    bool linkedAtDebug;
    const char* failureTail;
    const char* successTail;
    const char* unloading;
    qor::ConfigFilePathValue* vertexSetting;
    qor::ConfigFilePathValue* fragmentSetting;
    const char* const* fragmentSource;
    int samplers;
    // Binds the plane texture of every sampler's unit while assigning
    // samplers (otherwise only unit 0's).
    bool bindEveryUnit;
};

const ProgramTexts& textsOf(PixelFamily family) {
    static const ProgramTexts yuv420p{": Reprogramming OpenGL YUV420p shaders",
                                      ": Programming OpenGL YUV420p shaders",
                                      ": Can't create OpenGL YUV420p program object",
                                      ": YUV420p shader program not compiled",
                                      ": YUV420p shader program compiled",
                                      true,
                                      "' to yuv420p shader program",
                                      "' to yuv420p shader program '",
                                      nullptr,
                                      &clientOpenGLVShaderYUV420p,
                                      &clientOpenGLFShaderYUV420p,
                                      &yuvFragmentSource,
                                      3,
                                      true};
    static const ProgramTexts yuv444p{": Reprogramming OpenGL YUV444p shaders",
                                      ": Programming OpenGL YUV444p shaders",
                                      ": Can't create OpenGL YUV444p program object",
                                      ": YUV444p shader program not compiled",
                                      ": YUV444p shader program compiled",
                                      false,
                                      "' to yuv444p shader program",
                                      "' to yuv444p shader program '",
                                      nullptr,
                                      &clientOpenGLVShaderYUV444p,
                                      &clientOpenGLFShaderYUV444p,
                                      &yuvFragmentSource,
                                      3,
                                      true};
    static const ProgramTexts nv12{": Reprogramming OpenGL NV12 shaders",
                                   ": Programming OpenGL NV12 shaders",
                                   ": Can't create OpenGL program object",
                                   ": NV12 shader program not compiled",
                                   ": NV12 shader program compiled",
                                   false,
                                   "' to NV12 shader program",
                                   "' to NV12 shader program '",
                                   "Unloading NV12 shaders",
                                   &clientOpenGLVShaderNV12,
                                   &clientOpenGLFShaderNV12,
                                   &nv12FragmentSource,
                                   2,
                                   true};
    static const ProgramTexts rgbp{": Reprogramming OpenGL RGBp shader",
                                   ": Programming OpenGL RGBp shader",
                                   ": Can't create OpenGL program object",
                                   ": RGBp shader program not compiled",
                                   ": RGBp shader program compiled",
                                   true,
                                   "' to shader program",
                                   "' to shader program '",
                                   "Unloading RGBp shaders",
                                   &clientOpenGLVShaderRGBp,
                                   &clientOpenGLFShaderRGBp,
                                   &rgbpFragmentSource,
                                   3,
                                   false};
    static const ProgramTexts rgb{": Reprogramming OpenGL shader",
                                  ": Programming OpenGL shader",
                                  ": Can't create OpenGL program object",
                                  ": RGB shader program not compiled",
                                  ": RGB shader program compiled",
                                  false,
                                  "' to shader program",
                                  "' to shader program '",
                                  "Unloading RGB shaders",
                                  &clientOpenGLVShaderRGB,
                                  &clientOpenGLFShaderRGB,
                                  &rgbFragmentSource,
                                  1,
                                  false};
    switch (family) {
    case PixelFamily::YUV420p: return yuv420p;
    case PixelFamily::YUV444p: return yuv444p;
    case PixelFamily::NV12: return nv12;
    case PixelFamily::RGBp: return rgbp;
    case PixelFamily::RGB: break;
    }
    return rgb;
}

} // namespace

ShaderLoader::ShaderLoader(QOpenGLFunctions_2_0& gl, const qor::QorCanvas& canvas, const PlaneTextures& textures)
    : gl(gl), canvas(canvas), textures(textures) {}

int ShaderLoader::samplerCount(PixelFamily family) { return textsOf(family).samplers; }

std::string ShaderLoader::prefix() const { return canvas.canvasName() + ": "; }

bool ShaderLoader::build(PixelFamily family, ShaderProgram& record) {
    const ProgramTexts& texts = textsOf(family);
    if (record.program != 0 && gl.glIsProgram(record.program)) {
        logDebug(prefix() + (texts.reprogramming + 2));
        unload(family, record);
    } else if (isTraceEnabled()) {
        logTrace(prefix() + (texts.programming + 2));
    }
    record.linked = false;
    record.program = gl.glCreateProgram();
    if (record.program == 0) {
        logCritical(prefix() + (texts.createFailure + 2));
        unload(family, record);
        return false;
    }
    if (!loadSingleShader(vertexShaderSource, texts.vertexSetting->fileName().empty() ? "" : texts.vertexSetting->get(),
                          &record.vertexShader, true, record.program) ||
        !loadSingleShader(*texts.fragmentSource,
                          texts.fragmentSetting->fileName().empty() ? "" : texts.fragmentSetting->get(),
                          &record.fragmentShader, false, record.program)) {
        unload(family, record);
        return false;
    }
    gl.glBindAttribLocation(record.program, 0, "position");
    gl.glLinkProgram(record.program);
    GLint status = 0;
    gl.glGetProgramiv(record.program, GL_LINK_STATUS, &status);
    if (status == 0) {
        logCritical(prefix() + (texts.linkFailure + 2));
        unload(family, record);
        return false;
    }
    if (texts.linkedAtDebug) {
        logDebug(prefix() + (texts.linked + 2));
    } else if (isTraceEnabled()) {
        logTrace(prefix() + (texts.linked + 2));
    }
    for (int k = 0; k < texts.samplers; ++k) {
        if (k == 0 || texts.bindEveryUnit) {
            gl.glActiveTexture(GL_TEXTURE0 + k);
            gl.glBindTexture(GL_TEXTURE_2D, textures.name(k));
        }
        const std::string sampler = "texture" + std::to_string(k);
        record.samplerLocations[k] = gl.glGetUniformLocation(record.program, sampler.c_str());
        if (record.samplerLocations[k] < 0) {
            logCritical(prefix() + "Error assigning uniform of '" + sampler + texts.failureTail);
            unload(family, record);
            return false;
        }
        if (isTraceEnabled()) {
            logTrace(prefix() + "Assigned uniform of '" + sampler + texts.successTail +
                     std::to_string(record.samplerLocations[k]) + "'");
        }
    }
    // Sampler k reads unit k for the program's life: set once, not per draw.
    gl.glUseProgram(record.program);
    for (int k = 0; k < texts.samplers; ++k) gl.glUniform1i(record.samplerLocations[k], k);
    gl.glUseProgram(0);
    if (family == PixelFamily::NV12) logDebug("Loaded NV12 shaders");
    record.linked = true;
    return true;
}

bool ShaderLoader::loadSingleShader(const char* builtIn, const std::string& path, GLuint* shader, bool vertex,
                                    GLuint program) {
    const std::string kind = vertex ? "vertex" : "fragment";
    std::string source;
    if (!path.empty()) {
        logNotice(prefix() + "Loading " + kind + " shader code from '" + path + "'");
        std::unique_ptr<char[]> buffer(new (std::nothrow) char[shaderBufferSize]);
        if (!buffer) {
            logCritical("Malloc error in loadSingleShader");
            return false;
        }
        FileHandle file = openFileWithMode(path, 0, true);
        if (file) {
            std::size_t total = 0;
            const std::size_t limit = shaderBufferSize - 1;
            while (total < limit) {
                const std::ptrdiff_t got = file.read(buffer.get() + total, limit - total);
                if (got <= 0) break;
                total += static_cast<std::size_t>(got);
            }
            if (total == limit) {
                logWarning(prefix() + "File size of '" + path + "' properly too large, read " + std::to_string(total) +
                           " bytes");
            }
            source.assign(buffer.get(), total);
            logDebug(prefix() + "Shader source (" + kind + "):\n" + source);
        } else {
            logWarning(prefix() + "Can't read '" + path + "'");
            logWarning(prefix() + "Defaulting to build-in " + kind + " shader");
            source = builtIn;
        }
    } else {
        if (isTraceEnabled()) logTrace(prefix() + "Using build-in " + kind + " shader");
        source = builtIn;
    }
    *shader = gl.glCreateShader(vertex ? GL_VERTEX_SHADER : GL_FRAGMENT_SHADER);
    if (*shader == 0) {
        logCritical(prefix() + "Can't create " + kind + " shader object");
        return false;
    }
    const char* text = source.c_str();
    gl.glShaderSource(*shader, 1, &text, nullptr);
    gl.glCompileShader(*shader);
    GLint compiled = 0;
    gl.glGetShaderiv(*shader, GL_COMPILE_STATUS, &compiled);
    if (compiled != 0) {
        logDebug(prefix() + kind + " shader compiled");
        gl.glAttachShader(program, *shader);
        return true;
    }
    logCritical(prefix() + kind + " shader not compiled");
    logWarning(prefix() + "Shader source (" + kind + "):\n" + source);
    GLint length = 0;
    gl.glGetShaderiv(*shader, GL_INFO_LOG_LENGTH, &length);
    logCritical(prefix() + "Reason '" + std::to_string(length) + "'");
    std::string info(static_cast<std::size_t>(length > 1 ? length : 1), '\0');
    gl.glGetShaderInfoLog(*shader, static_cast<GLsizei>(info.size()), nullptr, &info[0]);
    logCritical(prefix() + "Reason '" + std::string(info.c_str()) + "'");
    return false;
}

void ShaderLoader::unload(PixelFamily family, ShaderProgram& record) {
    const ProgramTexts& texts = textsOf(family);
    if (texts.unloading != nullptr && isTraceEnabled()) logTrace(texts.unloading);
    if (record.vertexShader != 0) gl.glDeleteShader(record.vertexShader);
    if (record.fragmentShader != 0) gl.glDeleteShader(record.fragmentShader);
    if (record.program != 0) gl.glDeleteProgram(record.program);
    record.vertexShader = 0;
    record.fragmentShader = 0;
    record.program = 0;
    record.linked = false;
}
