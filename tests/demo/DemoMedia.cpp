#include "DemoMedia.h"

#include "DemoServerProcess.h"
#include "TestPaths.h"

#include <algorithm>
#include <sstream>
#include <stdexcept>

TestStream makeTestStream(const std::string& dir, const std::string& name, int width, int height, int frames,
                          int keyInterval) {
    const int fps = 25;
    TestStream stream{dir + "/" + name, width, height, frames};
    std::ostringstream seconds;
    seconds << static_cast<double>(frames) / fps;
    const std::vector<std::string> args{stream.path, std::to_string(width) + "x" + std::to_string(height),
                                        seconds.str(), std::to_string(fps), std::to_string(keyInterval)};
    if (runProgram(DEMO_STREAM_SCRIPT, args) != 0) throw std::runtime_error("make-demo-stream.sh failed");
    return stream;
}

std::vector<int> nalUnitTypes(const std::string& unit) {
    std::vector<int> types;
    for (std::size_t i = 0; i + 3 < unit.size(); ++i) {
        if (unit[i] == 0 && unit[i + 1] == 0 && unit[i + 2] == 1) {
            types.push_back(static_cast<unsigned char>(unit[i + 3]) & 0x1f);
            i += 2;
        }
    }
    return types;
}

bool isKeyAccessUnit(const std::string& unit) {
    const auto types = nalUnitTypes(unit);
    if (types.empty() || types.front() != 9) return false;
    const auto idr = std::find(types.begin(), types.end(), 5);
    return idr != types.end() && std::find(types.begin(), idr, 7) != idr && std::find(types.begin(), idr, 8) != idr;
}

int decodedPictureCount(const std::string& dir, const std::vector<std::string>& accessUnits) {
    std::string bytes;
    for (const auto& unit : accessUnits) bytes += unit;
    const std::string file = dir + "/received.h264";
    writeTextFile(file, bytes);
    std::string output;
    const std::vector<std::string> args{"-v", "error", "-xerror", "-f", "h264", "-i", file, "-f", "framemd5", "-"};
    if (runProgram("/usr/bin/ffmpeg", args, &output) != 0) return -1;
    std::istringstream lines(output);
    std::string line;
    int pictures = 0;
    while (std::getline(lines, line)) {
        if (!line.empty() && line[0] != '#') ++pictures;
    }
    return pictures;
}
