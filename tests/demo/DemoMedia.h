// Test media for the demo server: H.264 streams made by ffmpeg through the
// demo's own script, and checks of received access units made without the
// server's code.
#pragma once

#include <string>
#include <vector>

struct TestStream {
    std::string path;
    int width;
    int height;
    int frames;
};

// A Baseline stream of testsrc2 made by make-demo-stream.sh in dir; with
// keyInterval above frames it has a single IDR picture, at its start.
TestStream makeTestStream(const std::string& dir, const std::string& name, int width, int height, int frames,
                          int keyInterval);

// NAL unit types of an Annex-B access unit, in order.
std::vector<int> nalUnitTypes(const std::string& accessUnit);
// True when the unit begins with a delimiter and carries SPS and PPS before
// its IDR slice.
bool isKeyAccessUnit(const std::string& accessUnit);
// Number of pictures ffmpeg decodes from the concatenated units; -1 when
// ffmpeg reports an error.
int decodedPictureCount(const std::string& dir, const std::vector<std::string>& accessUnits);
