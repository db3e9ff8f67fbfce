#include "I420ToRgb24.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

struct Pixel {
    int y, u, v;
    int r, g, b;
};

// Converts one 2x2 picture of a single colour.
std::vector<std::uint8_t> convertSolid(int y, int u, int v, bool vector) {
    const std::uint8_t ys[4] = {std::uint8_t(y), std::uint8_t(y), std::uint8_t(y), std::uint8_t(y)};
    const std::uint8_t us[1] = {std::uint8_t(u)};
    const std::uint8_t vs[1] = {std::uint8_t(v)};
    std::vector<std::uint8_t> out(12);
    (vector ? i420ToRgb24 : i420ToRgb24Scalar)(ys, us, vs, 2, 1, 2, 2, out.data());
    return out;
}

std::vector<std::uint8_t> randomBytes(std::size_t n, std::uint32_t seed) {
    std::vector<std::uint8_t> bytes(n);
    for (std::uint8_t& b : bytes) b = static_cast<std::uint8_t>((seed = seed * 1664525 + 1013904223) >> 24);
    return bytes;
}

} // namespace

TEST(I420ToRgb24, WorkedValues) {
    const Pixel cases[] = {
        {16, 128, 128, 0, 0, 0},       {128, 128, 128, 129, 129, 129}, {235, 128, 128, 253, 253, 253},
        {100, 200, 128, 97, 69, 242},  {100, 128, 200, 211, 38, 97},   {81, 90, 240, 253, 0, 0},
        {145, 54, 34, 0, 254, 0},      {41, 240, 110, 0, 0, 254},      {255, 255, 128, 255, 226, 255},
        {0, 128, 128, 0, 0, 0},        {255, 0, 255, 255, 223, 18},     {0, 0, 0, 0, 135, 0},
    };
    for (const Pixel& p : cases) {
        for (bool vector : {false, true}) {
            const std::vector<std::uint8_t> out = convertSolid(p.y, p.u, p.v, vector);
            for (int i = 0; i < 4; ++i) {
                EXPECT_EQ(out[3 * i], p.r) << p.y << "," << p.u << "," << p.v << " vector " << vector;
                EXPECT_EQ(out[3 * i + 1], p.g) << p.y << "," << p.u << "," << p.v << " vector " << vector;
                EXPECT_EQ(out[3 * i + 2], p.b) << p.y << "," << p.u << "," << p.v << " vector " << vector;
            }
        }
    }
}

// Every width from 2 to 1366 (odd ones included) and odd heights: the vector
// path gives the scalar bytes and touches nothing outside the planes (each
// plane and the destination are exact-size heap blocks, checked by ASan).
TEST(I420ToRgb24, VectorPathEqualsScalarForEveryWidth) {
    for (int width = 1; width <= 1366; ++width) {
        for (int height : {1, 3, 4}) {
            const int cw = (width + 1) / 2, ch = (height + 1) / 2;
            const int lumaStride = width + (width % 3);
            const int chromaStride = cw + (width % 5);
            const std::vector<std::uint8_t> y = randomBytes(static_cast<std::size_t>(lumaStride) * (height - 1) + width, width);
            const std::vector<std::uint8_t> u = randomBytes(static_cast<std::size_t>(chromaStride) * (ch - 1) + cw, width + 1);
            const std::vector<std::uint8_t> v = randomBytes(static_cast<std::size_t>(chromaStride) * (ch - 1) + cw, width + 2);
            std::unique_ptr<std::uint8_t[]> scalar(new std::uint8_t[3 * width * height]);
            std::unique_ptr<std::uint8_t[]> vector(new std::uint8_t[3 * width * height]);
            i420ToRgb24Scalar(y.data(), u.data(), v.data(), lumaStride, chromaStride, width, height, scalar.get());
            i420ToRgb24(y.data(), u.data(), v.data(), lumaStride, chromaStride, width, height, vector.get());
            ASSERT_EQ(0, std::memcmp(scalar.get(), vector.get(), 3 * width * height)) << width << "x" << height;
        }
    }
}

TEST(I420ToRgb24, StrideBytesBeyondTheWidthAreNeverUsed) {
    // 4x2 picture in rows of 8 bytes: the padding is poison.
    const std::uint8_t y[16] = {16, 128, 235, 100, 0, 0, 0, 0, 16, 128, 235, 100, 255, 255, 255, 255};
    const std::uint8_t u[4] = {128, 200, 7, 7};
    const std::uint8_t v[4] = {128, 128, 9, 9};
    std::uint8_t out[24 + 3];
    out[24] = out[25] = out[26] = 0x77;
    i420ToRgb24(y, u, v, 8, 4, 4, 2, out);
    const std::uint8_t expected[12] = {0, 0, 0, 129, 129, 129, 253, 225, 255, 97, 69, 242};
    for (int row = 0; row < 2; ++row) {
        for (int i = 0; i < 12; ++i) EXPECT_EQ(out[row * 12 + i], expected[i]) << row << " " << i;
    }
    EXPECT_EQ(out[24], 0x77);
}
