#include "AccessUnitStream.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

constexpr int kNalIdr = 5;
constexpr int kNalSps = 7;
constexpr int kNalPps = 8;
constexpr int kNalAud = 9;

struct NalRange {
    std::size_t start;    // first byte of the start code
    std::size_t payload;  // first byte of the NAL header
    std::size_t end;      // one past the last byte
};

// Splits an Annex-B byte stream into NAL units (start code included).
std::vector<NalRange> findNalUnits(const std::string& bytes) {
    std::vector<NalRange> nals;
    const std::size_t n = bytes.size();
    std::size_t i = 0;
    auto startCodeAt = [&](std::size_t pos, std::size_t& length) {
        if (pos + 3 <= n && bytes[pos] == 0 && bytes[pos + 1] == 0) {
            if (bytes[pos + 2] == 1) {
                length = 3;
                return true;
            }
            if (pos + 4 <= n && bytes[pos + 2] == 0 && bytes[pos + 3] == 1) {
                length = 4;
                return true;
            }
        }
        return false;
    };
    while (i < n) {
        std::size_t length = 0;
        if (startCodeAt(i, length)) {
            if (!nals.empty()) nals.back().end = i;
            nals.push_back({i, i + length, n});
            i += length;
        } else {
            ++i;
        }
    }
    // Trailing zero bytes belong to the next start code, not to the NAL unit.
    for (auto& nal : nals) {
        while (nal.end > nal.payload && bytes[nal.end - 1] == 0) --nal.end;
    }
    return nals;
}

int nalType(const std::string& bytes, const NalRange& nal) {
    return nal.payload < nal.end ? (static_cast<unsigned char>(bytes[nal.payload]) & 0x1f) : -1;
}

// Exp-Golomb bit reader over an RBSP that still holds emulation prevention bytes.
class BitReader {
public:
    explicit BitReader(const std::string& data) {
        rbsp_.reserve(data.size());
        int zeros = 0;
        for (char c : data) {
            auto b = static_cast<unsigned char>(c);
            if (zeros >= 2 && b == 3) {
                zeros = 0;
                continue;
            }
            zeros = (b == 0) ? zeros + 1 : 0;
            rbsp_.push_back(b);
        }
    }
    unsigned bit() {
        if (pos_ >= rbsp_.size() * 8) throw std::runtime_error("sequence parameter set cut short");
        unsigned value = (rbsp_[pos_ / 8] >> (7 - pos_ % 8)) & 1u;
        ++pos_;
        return value;
    }
    unsigned bits(int count) {
        unsigned value = 0;
        while (count-- > 0) value = (value << 1) | bit();
        return value;
    }
    unsigned ue() {
        int leadingZeros = 0;
        while (bit() == 0) {
            if (++leadingZeros > 31) throw std::runtime_error("bad Exp-Golomb code");
        }
        return static_cast<unsigned>((1ull << leadingZeros) - 1 + bits(leadingZeros));
    }
    int se() {
        unsigned k = ue();
        return (k & 1) ? static_cast<int>((k + 1) / 2) : -static_cast<int>(k / 2);
    }

private:
    std::vector<unsigned char> rbsp_;
    std::size_t pos_ = 0;
};

void skipScalingList(BitReader& reader, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size; ++j) {
        if (next != 0) next = (last + reader.se() + 256) % 256;
        last = (next == 0) ? last : next;
    }
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read stream file " + path);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

}  // namespace

StreamFormat parseSequenceParameterSet(const std::string& nalPayload) {
    BitReader r(nalPayload);
    StreamFormat format;
    format.profileIdc = static_cast<int>(r.bits(8));
    r.bits(16);  // constraint flags, level_idc
    r.ue();      // seq_parameter_set_id
    const int p = format.profileIdc;
    if (p == 100 || p == 110 || p == 122 || p == 244 || p == 44 || p == 83 || p == 86 || p == 118 ||
        p == 128 || p == 138 || p == 139 || p == 134 || p == 135) {
        format.chromaFormatIdc = static_cast<int>(r.ue());
        if (format.chromaFormatIdc == 3) r.bit();  // separate_colour_plane_flag
        format.bitDepth = 8 + static_cast<int>(r.ue());
        r.ue();   // bit_depth_chroma_minus8
        r.bit();  // qpprime_y_zero_transform_bypass_flag
        if (r.bit()) {
            const int lists = format.chromaFormatIdc != 3 ? 8 : 12;
            for (int i = 0; i < lists; ++i) {
                if (r.bit()) skipScalingList(r, i < 6 ? 16 : 64);
            }
        }
    }
    r.ue();  // log2_max_frame_num_minus4
    const unsigned pocType = r.ue();
    if (pocType == 0) {
        r.ue();
    } else if (pocType == 1) {
        r.bit();
        r.se();
        r.se();
        const unsigned cycle = r.ue();
        for (unsigned i = 0; i < cycle; ++i) r.se();
    }
    r.ue();   // max_num_ref_frames
    r.bit();  // gaps_in_frame_num_value_allowed_flag
    const unsigned widthMbs = r.ue() + 1;
    const unsigned heightMapUnits = r.ue() + 1;
    const unsigned frameMbsOnly = r.bit();
    if (!frameMbsOnly) r.bit();  // mb_adaptive_frame_field_flag
    r.bit();                     // direct_8x8_inference_flag
    unsigned cropLeft = 0, cropRight = 0, cropTop = 0, cropBottom = 0;
    if (r.bit()) {
        cropLeft = r.ue();
        cropRight = r.ue();
        cropTop = r.ue();
        cropBottom = r.ue();
    }
    const int subWidth = (format.chromaFormatIdc == 1 || format.chromaFormatIdc == 2) ? 2 : 1;
    const int subHeight = (format.chromaFormatIdc == 1) ? 2 : 1;
    const int cropUnitX = format.chromaFormatIdc == 0 ? 1 : subWidth;
    const int cropUnitY = (format.chromaFormatIdc == 0 ? 1 : subHeight) * (2 - static_cast<int>(frameMbsOnly));
    format.width = static_cast<int>(widthMbs * 16) - cropUnitX * static_cast<int>(cropLeft + cropRight);
    format.height = static_cast<int>((2 - frameMbsOnly) * heightMapUnits * 16) -
                    cropUnitY * static_cast<int>(cropTop + cropBottom);
    return format;
}

std::vector<int> nalTypesOf(const std::string& accessUnit) {
    std::vector<int> types;
    for (const auto& nal : findNalUnits(accessUnit)) types.push_back(nalType(accessUnit, nal));
    return types;
}

AccessUnitStream::AccessUnitStream(const std::string& path) : name_(path) { load(readFile(path)); }

AccessUnitStream AccessUnitStream::fromBytes(const std::string& bytes, const std::string& name) {
    AccessUnitStream stream;
    stream.name_ = name;
    stream.load(bytes);
    return stream;
}

void AccessUnitStream::load(const std::string& bytes) {
    const auto nals = findNalUnits(bytes);
    std::string sps, pps;
    bool formatKnown = false;
    std::string current;
    bool currentHasSps = false, currentHasPps = false, currentHasIdr = false;

    auto finishUnit = [&]() {
        if (current.empty()) return;
        // A key unit always carries its parameter sets, so that playback can
        // restart at it with a fresh decoder.
        if (currentHasIdr && !(currentHasSps && currentHasPps) && !sps.empty() && !pps.empty()) {
            const auto unitNals = findNalUnits(current);
            std::size_t insertAt = 0;
            if (!unitNals.empty() && nalType(current, unitNals[0]) == kNalAud) insertAt = unitNals[0].end;
            std::string headers;
            if (!currentHasSps) headers += std::string("\0\0\0\1", 4) + sps;
            if (!currentHasPps) headers += std::string("\0\0\0\1", 4) + pps;
            current.insert(insertAt, headers);
            currentHasSps = currentHasPps = true;
        }
        units_.push_back(current);
        keyUnit_.push_back(currentHasIdr && currentHasSps && currentHasPps);
        current.clear();
        currentHasSps = currentHasPps = currentHasIdr = false;
    };

    bool sawDelimiter = false;
    for (const auto& nal : nals) {
        const int type = nalType(bytes, nal);
        if (type == kNalAud) {
            sawDelimiter = true;
            finishUnit();
        }
        if (!sawDelimiter) continue;  // bytes before the first delimiter are dropped
        const std::string payload = bytes.substr(nal.payload, nal.end - nal.payload);
        if (type == kNalSps) {
            sps = payload;
            currentHasSps = true;
            if (!formatKnown && payload.size() > 1) {
                format_ = parseSequenceParameterSet(payload.substr(1));
                formatKnown = true;
            }
        } else if (type == kNalPps) {
            pps = payload;
            currentHasPps = true;
        } else if (type == kNalIdr) {
            currentHasIdr = true;
        }
        current += std::string("\0\0\0\1", 4) + payload;
    }
    finishUnit();

    if (!sawDelimiter) throw std::runtime_error(name_ + ": no access unit delimiters (encode with -x264-params aud=1)");
    if (units_.empty() || !keyUnit_[0])
        throw std::runtime_error(name_ + ": the first access unit does not carry SPS, PPS and an IDR slice");
}

std::size_t AccessUnitStream::keyUnitAtOrBefore(std::size_t index) const {
    if (index >= units_.size()) index = units_.size() - 1;
    for (std::size_t i = index + 1; i-- > 0;) {
        if (keyUnit_[i]) return i;
    }
    return 0;
}

std::string AccessUnitStream::encodingSpecText() const {
    int profileCode = 0;  // baseline
    int colorFormat = 0;  // YUV420p
    switch (format_.profileIdc) {
        case 66: profileCode = 0; break;
        case 88: profileCode = 1; break;
        case 77: profileCode = 2; break;
        case 100: profileCode = 3; break;
        case 110: profileCode = 4; break;
        case 244: profileCode = 6; break;
        default: profileCode = 3; break;
    }
    if (format_.chromaFormatIdc == 3) {
        profileCode = 6;
        colorFormat = 6;
    }
    return std::to_string(profileCode) + "," + std::to_string(colorFormat) + "," + std::to_string(format_.bitDepth);
}
