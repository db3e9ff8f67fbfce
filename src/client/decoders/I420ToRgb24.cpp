#include "I420ToRgb24.h"

#include <cstddef>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

inline std::uint8_t clampByte(int value) {
    return static_cast<std::uint8_t>(value < 0 ? 0 : value > 255 ? 255 : value);
}

// Columns [from, to) of one row.
inline void convertPixels(const std::uint8_t* yRow, const std::uint8_t* uRow, const std::uint8_t* vRow, int from,
                          int to, std::uint8_t* out) {
    for (int c = from; c < to; ++c) {
        const int l = 74 * (yRow[c] - 16);
        const int cb = uRow[c / 2] - 128;
        const int cr = vRow[c / 2] - 128;
        std::uint8_t* pixel = out + 3 * c;
        pixel[0] = clampByte((l + 102 * cr) >> 6);
        pixel[1] = clampByte((l - 25 * cb - 52 * cr) >> 6);
        pixel[2] = clampByte((l + 129 * cb) >> 6);
    }
}

#if defined(__SSE2__)
// 16 pixels of one row from 16 luma and 8 chroma samples of each plane. The
// sums are formed with saturating 16-bit additions: only blue can leave the
// 16-bit range, and a saturated sum clamps to the same byte as the exact one.
inline void convert16(const std::uint8_t* yRow, const std::uint8_t* uRow, const std::uint8_t* vRow,
                      std::uint8_t* out) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i y8 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(yRow));
    const __m128i u8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(uRow));
    const __m128i v8 = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(vRow));
    // Each chroma sample twice, for the two columns it serves.
    const __m128i u16 = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_unpacklo_epi8(u8, u8), zero), _mm_set1_epi16(128));
    const __m128i uHi = _mm_sub_epi16(_mm_unpackhi_epi8(_mm_unpacklo_epi8(u8, u8), zero), _mm_set1_epi16(128));
    const __m128i v16 = _mm_sub_epi16(_mm_unpacklo_epi8(_mm_unpacklo_epi8(v8, v8), zero), _mm_set1_epi16(128));
    const __m128i vHi = _mm_sub_epi16(_mm_unpackhi_epi8(_mm_unpacklo_epi8(v8, v8), zero), _mm_set1_epi16(128));
    const __m128i yLo = _mm_sub_epi16(_mm_unpacklo_epi8(y8, zero), _mm_set1_epi16(16));
    const __m128i yHi = _mm_sub_epi16(_mm_unpackhi_epi8(y8, zero), _mm_set1_epi16(16));

    const __m128i k74 = _mm_set1_epi16(74), k102 = _mm_set1_epi16(102), k25 = _mm_set1_epi16(25),
                  k52 = _mm_set1_epi16(52), k129 = _mm_set1_epi16(129);
    __m128i rgb[3][2];
    const __m128i ys[2] = {yLo, yHi};
    const __m128i us[2] = {u16, uHi};
    const __m128i vs[2] = {v16, vHi};
    for (int half = 0; half < 2; ++half) {
        const __m128i l = _mm_mullo_epi16(ys[half], k74);
        const __m128i r = _mm_adds_epi16(l, _mm_mullo_epi16(vs[half], k102));
        const __m128i g = _mm_subs_epi16(_mm_subs_epi16(l, _mm_mullo_epi16(us[half], k25)),
                                         _mm_mullo_epi16(vs[half], k52));
        const __m128i b = _mm_adds_epi16(l, _mm_mullo_epi16(us[half], k129));
        rgb[0][half] = _mm_srai_epi16(r, 6);
        rgb[1][half] = _mm_srai_epi16(g, 6);
        rgb[2][half] = _mm_srai_epi16(b, 6);
    }
    const __m128i r8 = _mm_packus_epi16(rgb[0][0], rgb[0][1]);
    const __m128i g8 = _mm_packus_epi16(rgb[1][0], rgb[1][1]);
    const __m128i b8 = _mm_packus_epi16(rgb[2][0], rgb[2][1]);
    // Pixels as R, G, B, 0 words, each stored over the next pixel's start:
    // the fourth byte is overwritten by the following store. The caller
    // keeps three bytes after the block writable (see lastVectorColumn).
    const __m128i rgLo = _mm_unpacklo_epi8(r8, g8), rgHi = _mm_unpackhi_epi8(r8, g8);
    const __m128i bLo = _mm_unpacklo_epi8(b8, zero), bHi = _mm_unpackhi_epi8(b8, zero);
    const __m128i quads[4] = {_mm_unpacklo_epi16(rgLo, bLo), _mm_unpackhi_epi16(rgLo, bLo),
                              _mm_unpacklo_epi16(rgHi, bHi), _mm_unpackhi_epi16(rgHi, bHi)};
    for (int q = 0; q < 4; ++q) {
        __m128i pixels = quads[q];
        for (int i = 0; i < 4; ++i) {
            const std::uint32_t word = static_cast<std::uint32_t>(_mm_cvtsi128_si32(pixels));
            std::memcpy(out + 12 * q + 3 * i, &word, 4);
            pixels = _mm_srli_si128(pixels, 4);
        }
    }
}
#endif

} // namespace

void i420ToRgb24Scalar(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, int lumaStride,
                       int chromaStride, int width, int height, std::uint8_t* destination) {
    for (int r = 0; r < height; ++r) {
        const std::ptrdiff_t chromaRow = static_cast<std::ptrdiff_t>(r / 2) * chromaStride;
        convertPixels(y + static_cast<std::ptrdiff_t>(r) * lumaStride, u + chromaRow, v + chromaRow, 0, width,
                      destination + static_cast<std::ptrdiff_t>(r) * 3 * width);
    }
}

void i420ToRgb24(const std::uint8_t* y, const std::uint8_t* u, const std::uint8_t* v, int lumaStride,
                 int chromaStride, int width, int height, std::uint8_t* destination) {
#if defined(__SSE2__)
    // The last 16-pixel block of a row writes one byte past its 48; it is
    // vectorised only when scalar columns follow it.
    const int vectorColumns = width % 16 == 0 ? (width >= 16 ? width - 16 : 0) : width & ~15;
    for (int r = 0; r < height; ++r) {
        const std::uint8_t* yRow = y + static_cast<std::ptrdiff_t>(r) * lumaStride;
        const std::ptrdiff_t chromaRow = static_cast<std::ptrdiff_t>(r / 2) * chromaStride;
        const std::uint8_t* uRow = u + chromaRow;
        const std::uint8_t* vRow = v + chromaRow;
        std::uint8_t* out = destination + static_cast<std::ptrdiff_t>(r) * 3 * width;
        for (int c = 0; c < vectorColumns; c += 16) convert16(yRow + c, uRow + c / 2, vRow + c / 2, out + 3 * c);
        convertPixels(yRow, uRow, vRow, vectorColumns, width, out);
    }
#else
    i420ToRgb24Scalar(y, u, v, lumaStride, chromaStride, width, height, destination);
#endif
}
