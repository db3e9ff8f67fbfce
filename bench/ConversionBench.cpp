// Times the YUV-to-RGB24 conversion (vector and scalar) and the canonical
// copy of a decoder's picture at common screen sizes.
#include "ColorFormat.h"
#include "DecodedFrameAllocator.h"
#include "DecodedVideoFrame.h"
#include "I420ToRgb24.h"

#include <chrono>
#include <cstdio>
#include <vector>

namespace {

template <typename F>
double millisPerRun(F&& run, int runs) {
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < runs; ++i) run();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count() / runs;
}

} // namespace

int main() {
    const int sizes[][2] = {{1366, 768}, {1920, 1080}, {3840, 2160}};
    for (const auto& size : sizes) {
        const int w = size[0], h = size[1], cw = (w + 1) / 2, ch = (h + 1) / 2;
        std::vector<std::uint8_t> y(static_cast<std::size_t>(w) * h, 100), u(static_cast<std::size_t>(cw) * ch, 90),
            v(static_cast<std::size_t>(cw) * ch, 160), rgb(static_cast<std::size_t>(w) * h * 3);
        const int runs = w > 2000 ? 20 : 60;
        const double vector = millisPerRun(
            [&] { i420ToRgb24(y.data(), u.data(), v.data(), w, cw, w, h, rgb.data()); }, runs);
        const double scalar = millisPerRun(
            [&] { i420ToRgb24Scalar(y.data(), u.data(), v.data(), w, cw, w, h, rgb.data()); }, runs);

        qor::VideoFrame* source = decodedFrameAllocator.allocate(ColorFormat::YUV420P, w, h);
        qor::VideoFrame* copy = decodedFrameAllocator.allocate(ColorFormat::YUV420P, w, h);
        const double copyTime =
            millisPerRun([&] { static_cast<qor::DecodedVideoFrame*>(copy)->copyFrom(*source); }, runs);
        qor::releaseVideoFrame(&source);
        qor::releaseVideoFrame(&copy);
        std::printf("%4dx%-4d  i420ToRgb24 %.3f ms (scalar %.3f ms)  YUV420p copy %.3f ms\n", w, h, vector, scalar,
                    copyTime);
    }
    return 0;
}
