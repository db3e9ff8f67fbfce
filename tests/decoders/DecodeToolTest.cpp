// The qdk-decode tool on real streams: its planes equal ffmpeg's decode.
#include "TestPaths.h"
#include "TestStreams.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

int runTool(const std::string& arguments) {
    const std::string command = std::string("'") + QDK_DECODE_TOOL + "' " + arguments + " 2>/dev/null";
    return std::system(command.c_str());
}

std::vector<std::string> lines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> result;
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

} // namespace

TEST(DecodeTool, WritesPlanesAndOneLinePerPicture) {
    struct Case {
        const char* options;
        const char* stream;
        const char* reference;
        const char* firstLine;
    } cases[] = {
        {"-d OpenH264", "sizechange.h264", "sizechange.yuv420p", "frame 0 320x240 YUV420p (0) OpenH264"},
        // B-frames: the pictures held back for display order come at the
        // end of the file.
        {"-d OpenH264", "bpyramid.h264", "bpyramid.yuv420p", "frame 0 320x240 YUV420p (0) OpenH264"},
        {"", "bpyramid.h264", "bpyramid.yuv420p", "frame 0 320x240 YUV420p (0) LibAVH264"},
        {"-s 6,6,8", "high444.h264", "high444.yuv444p", "frame 0 322x242 YUV444p (6) LibAVH264"},
        {"-s 6,6,8 -f 125", "high444.h264", "high444.rgb24", "frame 0 322x242 RGB24 (125) LibAVH264"},
        {"-s 9,125,8", "rgb.h264", "rgb.gbrp", "frame 0 321x241 GBRP (160) LibAVH264"},
        {"-f 0", "high10.h264", "high10.rgb24", "frame 0 320x240 RGB24 (125) LibAVH264 converted"},
        {"-f 99999", "high10.h264", "high10.yuv420p10le", "frame 0 320x240 NONE (99999) avformat 62 LibAVH264"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.options) + " " + c.stream);
        TempDir dir;
        ASSERT_EQ(runTool(std::string(c.options) + " -o " + dir.file("out") + " -l " + dir.file("lines") + " " +
                          testStreamPath(c.stream)),
                  0);
        EXPECT_TRUE(readBinaryFile(dir.file("out")) == readBinaryFile(testStreamPath(c.reference)));
        const std::vector<std::string> written = lines(dir.file("lines"));
        ASSERT_FALSE(written.empty());
        EXPECT_EQ(written[0], c.firstLine);
    }
}

TEST(DecodeTool, RefusesWhatNoDecoderTakes) {
    EXPECT_NE(runTool("-d OpenH264 -s 6,6,8 " + testStreamPath("high444.h264")), 0);
    EXPECT_NE(runTool("-s 20,0,8 " + testStreamPath("high.h264")), 0);
    EXPECT_NE(runTool(""), 0);
}
