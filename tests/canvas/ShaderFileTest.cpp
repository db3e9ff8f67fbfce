// Shader programs from the settings: which programs are built for each
// render mode and conversion setting, files that replace a built-in shader,
// and the logged fallbacks for missing, broken and incomplete files.
#include "CanvasTestSupport.h"
#include "ClientSettings.h"
#include "ColorFormat.h"
#include "LogCapture.h"
#include "ShaderSources.h"
#include "TestFrames.h"
#include "TestPaths.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

namespace {

TEST(ShaderSources, BuiltInSourcesAreCompiledInWhole) {
    EXPECT_EQ(std::strlen(vertexShaderSource), 208u);
    EXPECT_EQ(std::strlen(rgbFragmentSource), 140u);
    EXPECT_EQ(std::strlen(rgbpFragmentSource), 340u);
    EXPECT_EQ(std::strlen(nv12FragmentSource), 728u);
    EXPECT_EQ(std::strlen(yuvFragmentSource), 755u);
}

TEST(ShaderPrograms, ProgramsBuiltPerModeAndConversionSetting) {
    struct Case {
        bool quads, hw;
        bool rgb, gpuConversion;
    };
    const Case cases[] = {
        {false, true, true, true},
        {true, true, false, true},
        {false, false, true, false},
        {true, false, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.quads ? "quads" : "normal") + (c.hw ? " hw" : " no hw"));
        LogCapture log("trace");
        auto canvas = makeCanvas(c.quads, c.hw);
        EXPECT_EQ(canvas->isQuadsMode(), c.quads);
        EXPECT_EQ(canvas->program(ColorFormat::RGB24).linked, c.rgb);
        for (int format : {ColorFormat::YUV420P, ColorFormat::YUV444P, ColorFormat::NV12, ColorFormat::GBRP}) {
            EXPECT_EQ(canvas->program(format).linked, c.gpuConversion) << format;
            EXPECT_EQ(canvas->supportsColorFormat(format), c.gpuConversion) << format;
        }
        EXPECT_TRUE(canvas->supportsColorFormat(ColorFormat::RGB24));
        EXPECT_EQ(log.contains(": Shader color conversion disabled"), !c.hw);
        // Destroying the window deletes the programs with its context current.
        canvas.reset();
        EXPECT_TRUE(log.contains("Unloading NV12 shaders"));
    }
    clientHwColorConversion.set(true);
    clientOpenGLRenderMode.set("normal");
}

class ShaderFileTest : public testing::Test {
protected:
    void TearDown() override {
        for (qor::ConfigFilePathValue* setting : {&clientOpenGLFShaderRGB, &clientOpenGLFShaderYUV420p,
                                                  &clientOpenGLFShaderRGBp, &clientOpenGLVShaderNV12}) {
            setting->set("");
        }
    }

    std::string writeFile(const std::string& name, const std::string& text) {
        const std::string path = dir.path() + "/" + name;
        std::ofstream(path) << text;
        return path;
    }

    TempDir dir;
    LogCapture log{"trace"};
};

TEST_F(ShaderFileTest, GoodFileReplacesTheBuiltInProgram) {
    // Red and green swapped.
    const std::string path = writeFile("swap.frag", "#version 100\n"
                                                    "uniform sampler2D texture0;\n"
                                                    "varying mediump vec2 texcoord;\n"
                                                    "void main() { gl_FragColor = texture2D(texture0, texcoord).grba; }\n");
    clientOpenGLFShaderRGB.set(path);
    CountingAllocator allocator;
    auto canvas = makeCanvas(false, true);
    EXPECT_TRUE(log.contains(": Loading fragment shader code from '" + path + "'"));
    EXPECT_TRUE(canvas->program(ColorFormat::RGB24).linked);
    canvas->setViewport(0, 0, 200, 150);
    const QImage image =
        presentAndGrab(*canvas, allocator.make(ColorFormat::RGB24, 8, 8, [](int, int) { return Rgb{255, 0, 0}; }));
    const QRgb pixel = image.pixel(100, 75);
    EXPECT_EQ(qRed(pixel), 0);
    EXPECT_EQ(qGreen(pixel), 255);
}

TEST_F(ShaderFileTest, MissingFileFallsBackToTheBuiltInShader) {
    const std::string path = dir.path() + "/missing.frag";
    clientOpenGLFShaderYUV420p.set(path);
    auto canvas = makeCanvas(false, true);
    EXPECT_TRUE(log.contains(": Can't read '" + path + "'"));
    EXPECT_TRUE(log.contains(": Defaulting to build-in fragment shader"));
    EXPECT_TRUE(canvas->supportsColorFormat(ColorFormat::YUV420P));
    EXPECT_TRUE(canvas->supportsColorFormat(ColorFormat::YUV444P));
    EXPECT_EQ(log.count(": Loading fragment shader code from '"), 1);
}

TEST_F(ShaderFileTest, BrokenFilesLeaveTheirProgramEmpty) {
    struct Case {
        const char* what;
        qor::ConfigFilePathValue* setting;
        const char* text;
        int format;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"syntax error", &clientOpenGLFShaderRGBp, "#version 100\nvoid main() { gl_FragColor = ; }\n",
         ColorFormat::GBRP,
         {": fragment shader not compiled", ": Shader source (fragment):\n#version 100", ": Reason '"}},
        {"texture2 never read", &clientOpenGLFShaderRGBp,
         "#version 100\nuniform sampler2D texture0;\nuniform sampler2D texture1;\n"
         "varying mediump vec2 texcoord;\n"
         "void main() { gl_FragColor = texture2D(texture0, texcoord) + texture2D(texture1, texcoord); }\n",
         ColorFormat::GBRP,
         {": Error assigning uniform of 'texture2' to shader program"}},
        {"empty vertex shader", &clientOpenGLVShaderNV12, "", ColorFormat::NV12, {": vertex shader not compiled"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        c.setting->set(writeFile("broken.glsl", c.text));
        auto canvas = makeCanvas(false, true);
        EXPECT_FALSE(canvas->supportsColorFormat(c.format));
        EXPECT_FALSE(canvas->program(c.format).linked);
        EXPECT_EQ(canvas->program(c.format).program, 0u);
        for (const std::string& line : c.lines) EXPECT_TRUE(log.contains(line)) << line;
        // The other programs are not affected.
        EXPECT_TRUE(canvas->supportsColorFormat(ColorFormat::YUV420P));
        c.setting->set("");
    }
}

} // namespace
