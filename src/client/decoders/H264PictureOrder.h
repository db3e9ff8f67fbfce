// Display order of the pictures of an H.264 stream, read from the stream
// itself: its sequence parameter sets say how many pictures may be decoded
// ahead of one that is shown before them (max_num_reorder_frames), and the
// first slice header of each access unit gives its picture order count.
// A decoder that hands out pictures in decoding order puts them back into
// display order with it. Order counts of type 0 (the type of streams with
// B-frames) and 2 (display order is decoding order) are followed; frames
// of other streams (order count type 1, field pictures) have no known
// position. Memory management operation 5 is not read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qor {

class H264PictureOrder {
public:
    // Where a picture stands in display order.
    struct Position {
        // False for a unit without a slice or whose order cannot be read.
        bool known = false;
        // Counts the IDR pictures up to this one: order counts start anew
        // with each, after every picture before it.
        std::uint32_t period = 0;
        std::int64_t count = 0;

        bool operator<(const Position& other) const {
            return period != other.period ? period < other.period : count < other.count;
        }
    };

    // The most pictures a stream may decode ahead of an earlier one.
    static constexpr int MAX_REORDER_DEPTH = 16;

    // Reads the parameter sets and the first slice header of one access unit
    // (Annex B); the position of the unit's picture.
    Position scan(const std::uint8_t* data, std::size_t length);

    // How many pictures may be decoded ahead of one shown before them: what
    // the active sequence announces (0 when its order is the decoding
    // order), else what learnLatePicture made of it (0 at first).
    int reorderDepth() const;
    bool depthAnnounced() const;
    // A picture came after one shown before it in a stream that does not
    // announce its depth: from now on one picture more is held back.
    void learnLatePicture();

private:
    struct Sequence {
        bool valid = false;
        bool separateColourPlanes = false;
        bool frameMbsOnly = true;
        int log2MaxFrameNum = 4;
        int orderCountType = 0;
        int log2MaxOrderCountLsb = 4;
        // -1 when the sequence does not say.
        int reorderDepth = -1;
    };
    struct PictureParameters {
        bool valid = false;
        int sequence = 0;
        bool bottomFieldOrderCount = false;
    };

    void readSequence(const std::uint8_t* payload, std::size_t size);
    void readPictureParameters(const std::uint8_t* payload, std::size_t size);
    Position readSlice(const std::uint8_t* payload, std::size_t size, bool idr, bool reference);

    std::array<Sequence, 32> sequences_{};
    std::array<PictureParameters, 256> pictureParameters_{};
    int activeSequence_ = -1;
    int learnedDepth_ = 0;
    std::uint32_t period_ = 0;
    // Order count state of type 0 (the previous reference picture's) and of
    // type 2 (pictures since the last IDR picture).
    std::int64_t previousMsb_ = 0;
    std::int64_t previousLsb_ = 0;
    std::int64_t decodedInPeriod_ = 0;
};

} // namespace qor
