// An H.264 Annex-B stream file cut into access units at its access unit
// delimiters, ready to be sent one unit per video message and looped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// What the sequence parameter set tells about the picture.
struct StreamFormat {
    int profileIdc = 0;
    int chromaFormatIdc = 1;
    int bitDepth = 8;
    int width = 0;
    int height = 0;
};

class AccessUnitStream {
public:
    // Reads and cuts the file; throws std::runtime_error when the file cannot
    // be read, holds no access unit delimiter, or does not begin with a unit
    // that carries SPS, PPS and an IDR slice.
    explicit AccessUnitStream(const std::string& path);
    // The same from bytes already in memory.
    static AccessUnitStream fromBytes(const std::string& bytes, const std::string& name);

    const std::string& name() const { return name_; }
    std::size_t size() const { return units_.size(); }
    const std::string& unit(std::size_t index) const { return units_[index]; }
    bool isKeyUnit(std::size_t index) const { return keyUnit_[index]; }
    // The last unit at or before index that starts a decodable sequence
    // (an IDR with its parameter sets); 0 when there is none before it.
    std::size_t keyUnitAtOrBefore(std::size_t index) const;
    const StreamFormat& format() const { return format_; }
    // The video encoding specification of the stream as announced to the
    // client: profile code, colour format code and bit depth, comma-joined.
    std::string encodingSpecText() const;

private:
    AccessUnitStream() = default;
    void load(const std::string& bytes);

    std::string name_;
    std::vector<std::string> units_;
    std::vector<bool> keyUnit_;
    StreamFormat format_;
};

// NAL unit types of the units' NAL units, in order (Annex-B start codes).
std::vector<int> nalTypesOf(const std::string& accessUnit);
// Parses an SPS NAL unit payload (after the one-byte NAL header, emulation
// prevention bytes still in place); throws std::runtime_error when it is cut short.
StreamFormat parseSequenceParameterSet(const std::string& nalPayload);
