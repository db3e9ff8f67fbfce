#include "AccessUnitSplitter.h"

std::size_t AccessUnitSplitter::findStartCode(const std::uint8_t* data, std::size_t length, std::size_t from) {
    for (std::size_t i = from; i + 3 <= length; ++i) {
        if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return i;
    }
    return length;
}

std::vector<AccessUnitSplitter::Unit> AccessUnitSplitter::split(const std::uint8_t* data, std::size_t length) {
    std::vector<Unit> units;
    std::size_t unitStart = length;
    bool unitHasSlice = false;
    std::size_t code = findStartCode(data, length, 0);
    while (code < length) {
        // A four-byte start code belongs to this NAL unit.
        const std::size_t nalStart = (code > 0 && data[code - 1] == 0) ? code - 1 : code;
        const std::size_t header = code + 3;
        const int type = header < length ? (data[header] & 0x1f) : 0;
        bool boundary = false;
        if (type == 9) {
            boundary = true;
        } else if (type == 6 || type == 7 || type == 8) {
            boundary = unitHasSlice;
        } else if (type == 1 || type == 5) {
            // first_mb_in_slice is ue(v): 0 is the single bit 1.
            const bool firstSlice = header + 1 < length && (data[header + 1] & 0x80) != 0;
            boundary = unitHasSlice && firstSlice;
        }
        if (unitStart == length) {
            unitStart = nalStart;
        } else if (boundary) {
            units.push_back({unitStart, nalStart - unitStart});
            unitStart = nalStart;
            unitHasSlice = false;
        }
        if (type == 1 || type == 5) unitHasSlice = true;
        code = findStartCode(data, length, header);
    }
    if (unitStart < length) units.push_back({unitStart, length - unitStart});
    return units;
}
