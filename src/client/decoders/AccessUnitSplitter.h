// Splits an H.264 Annex-B byte stream into access units: at access-unit
// delimiters, and, for streams without them, where a new picture begins (a
// parameter set, SEI or slice with first_mb_in_slice 0 after a slice).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class AccessUnitSplitter {
public:
    struct Unit {
        std::size_t offset;
        std::size_t length;
    };

    // The access units of the whole stream, in order; bytes before the first
    // start code are dropped.
    static std::vector<Unit> split(const std::uint8_t* data, std::size_t length);
    // Offset of the next start code (00 00 01) at or after from, or length.
    static std::size_t findStartCode(const std::uint8_t* data, std::size_t length, std::size_t from);
};
