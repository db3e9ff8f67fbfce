// Display positions and reorder depth read from hand-made parameter sets
// and slice headers: what the stream announces, order counts across their
// wrap and IDR pictures, emulation-prevention bytes, and units that cannot
// be read. Real streams go through it in StreamDecodeTest.
#include "H264PictureOrder.h"
#include "TestStreams.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

using qor::H264PictureOrder;

namespace {

// Writes the bits of one NAL unit and gives it out with a start code and
// emulation-prevention bytes.
class NalWriter {
public:
    explicit NalWriter(std::uint8_t header) : header_(header) {}
    NalWriter& u(int count, std::uint32_t value) {
        for (int i = count - 1; i >= 0; --i) bits_.push_back(((value >> i) & 1) != 0);
        return *this;
    }
    NalWriter& ue(std::uint32_t value) {
        const std::uint64_t code = std::uint64_t{value} + 1;
        int length = 0;
        while ((code >> length) > 1) ++length;
        u(length, 0);
        for (int i = length; i >= 0; --i) bits_.push_back(((code >> i) & 1) != 0);
        return *this;
    }
    NalWriter& se(std::int32_t value) { return ue(value > 0 ? 2 * value - 1 : -2 * value); }
    std::vector<std::uint8_t> bytes() const {
        std::vector<bool> bits = bits_;
        bits.push_back(true);  // rbsp_stop_one_bit
        while (bits.size() % 8 != 0) bits.push_back(false);
        std::vector<std::uint8_t> payload;
        for (std::size_t i = 0; i < bits.size(); i += 8) {
            std::uint8_t byte = 0;
            for (int b = 0; b < 8; ++b) byte = static_cast<std::uint8_t>(byte << 1 | bits[i + b]);
            payload.push_back(byte);
        }
        std::vector<std::uint8_t> out = {0, 0, 0, 1, header_};
        const std::vector<std::uint8_t> escaped = withEmulationPrevention(payload);
        out.insert(out.end(), escaped.begin(), escaped.end());
        return out;
    }

private:
    std::uint8_t header_;
    std::vector<bool> bits_;
};

struct SequenceSpec {
    int orderCountType = 0;
    int log2MaxOrderCountLsb = 8;
    int log2MaxFrameNum = 4;
    int reorderDepth = -1;  // -1: no VUI
    bool withHrd = false;
    bool framesOnly = true;
};

std::vector<std::uint8_t> sequenceUnit(const SequenceSpec& spec) {
    NalWriter w(0x67);
    w.u(8, 100).u(8, 0).u(8, 30).ue(0);      // High profile, level 3, id 0
    w.ue(1).ue(0).ue(0).u(1, 0).u(1, 0);      // 4:2:0, 8 bits, no scaling matrices
    w.ue(spec.log2MaxFrameNum - 4).ue(spec.orderCountType);
    if (spec.orderCountType == 0) w.ue(spec.log2MaxOrderCountLsb - 4);
    w.ue(4).u(1, 0).ue(19).ue(14).u(1, spec.framesOnly ? 1 : 0);
    if (!spec.framesOnly) w.u(1, 0);
    w.u(1, 1).u(1, 0);  // direct_8x8_inference, no cropping
    w.u(1, spec.reorderDepth >= 0 ? 1 : 0);
    if (spec.reorderDepth >= 0) {
        w.u(1, 1).u(8, 255).u(16, 1).u(16, 1);  // aspect ratio
        w.u(1, 0).u(1, 0).u(1, 0);
        w.u(1, spec.withHrd ? 1 : 0);
        if (spec.withHrd) w.u(32, 1).u(32, 50).u(1, 1);  // timing
        w.u(1, spec.withHrd ? 1 : 0);                     // NAL HRD
        if (spec.withHrd) w.ue(1).u(4, 0).u(4, 0).ue(1000).ue(2000).u(1, 0).ue(3).ue(4).u(1, 1).u(20, 0x12345);
        w.u(1, 0);
        if (spec.withHrd) w.u(1, 0);  // low_delay_hrd_flag
        w.u(1, 0).u(1, 1).u(1, 1).ue(0).ue(0).ue(16).ue(16).ue(spec.reorderDepth).ue(4);
    }
    return w.bytes();
}

std::vector<std::uint8_t> pictureParametersUnit() {
    NalWriter w(0x68);
    w.ue(0).ue(0).u(1, 1).u(1, 0).ue(0).ue(0).ue(0);
    return w.bytes();
}

std::vector<std::uint8_t> sliceUnit(const SequenceSpec& spec, bool idr, bool reference, std::uint32_t lsb,
                                    bool field = false) {
    NalWriter w(static_cast<std::uint8_t>((reference ? 0x40 : 0) | (idr ? 5 : 1)));
    w.ue(0).ue(idr ? 7 : 6).ue(0).u(spec.log2MaxFrameNum, 0);
    if (!spec.framesOnly) w.u(1, field ? 1 : 0);
    if (idr) w.ue(0);
    if (spec.orderCountType == 0) w.u(spec.log2MaxOrderCountLsb, lsb);
    w.ue(0).u(8, 0xa5);
    return w.bytes();
}

std::vector<std::uint8_t> join(std::initializer_list<std::vector<std::uint8_t>> parts) {
    std::vector<std::uint8_t> out = {0, 0, 0, 1, 0x09, 0xf0};  // access unit delimiter
    for (const auto& part : parts) out.insert(out.end(), part.begin(), part.end());
    return out;
}

H264PictureOrder::Position scan(H264PictureOrder& order, const std::vector<std::uint8_t>& unit) {
    return order.scan(unit.data(), unit.size());
}

} // namespace

TEST(H264PictureOrder, DepthAsTheSequenceAnnouncesIt) {
    struct Case {
        const char* what;
        SequenceSpec spec;
        int depth;
        bool announced;
    } cases[] = {
        {"two reordered", {0, 8, 4, 2}, 2, true},
        {"past timing and HRD parameters", {0, 8, 4, 1, true}, 1, true},
        {"none reordered", {0, 8, 4, 0}, 0, true},
        {"more than the most", {0, 8, 4, 40}, H264PictureOrder::MAX_REORDER_DEPTH, true},
        {"order counts in decoding order", {2, 8, 4, -1}, 0, true},
        {"not said", {0, 8, 4, -1}, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        H264PictureOrder order;
        const auto position =
            scan(order, join({sequenceUnit(c.spec), pictureParametersUnit(), sliceUnit(c.spec, true, true, 0)}));
        EXPECT_TRUE(position.known);
        EXPECT_EQ(order.reorderDepth(), c.depth);
        EXPECT_EQ(order.depthAnnounced(), c.announced);
        order.learnLatePicture();
        EXPECT_EQ(order.reorderDepth(), c.announced ? c.depth : 1);
    }
}

// Order counts of type 0 across the wrap of their low bits, with the IDR
// picture starting a new period; type 2 counts the pictures.
TEST(H264PictureOrder, PositionsAcrossWrapsAndIdrPictures) {
    struct Picture {
        bool idr, reference;
        std::uint32_t lsb;
        std::uint32_t period;
        std::int64_t count;
    };
    struct Case {
        const char* what;
        SequenceSpec spec;
        std::vector<Picture> pictures;
        bool escaped = false;  // the second slice holds 00 00 03
    } cases[] = {
        {"type 0, 4 bits",
         {0, 4, 4, 2},
         {{true, true, 0, 1, 0},
          {false, true, 8, 1, 8},
          {false, false, 4, 1, 4},
          {false, true, 14, 1, 14},
          {false, true, 2, 1, 18},
          {false, false, 0, 1, 16},
          {false, true, 10, 1, 26},
          {true, true, 4, 2, 4},
          {false, true, 2, 2, 2}}},
        {"type 2",
         {2, 8, 4, -1},
         {{true, true, 0, 1, 0}, {false, true, 0, 1, 1}, {false, false, 0, 1, 2}, {true, true, 0, 2, 0}}},
        // frame_num and the order count's high bits make 30 zero bits.
        {"type 0 behind emulation prevention", {0, 16, 16, 1}, {{true, true, 2, 1, 2}, {false, true, 3, 1, 3}}, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        H264PictureOrder order;
        scan(order, join({sequenceUnit(c.spec), pictureParametersUnit()}));
        for (std::size_t i = 0; i < c.pictures.size(); ++i) {
            const Picture& p = c.pictures[i];
            const std::vector<std::uint8_t> unit = join({sliceUnit(c.spec, p.idr, p.reference, p.lsb)});
            if (c.escaped && i == 1) {
                const std::uint8_t escape[] = {0, 0, 3};
                EXPECT_NE(std::search(unit.begin(), unit.end(), escape, escape + 3), unit.end());
            }
            const auto position = scan(order, unit);
            EXPECT_TRUE(position.known) << "picture " << i;
            EXPECT_EQ(position.period, p.period) << "picture " << i;
            EXPECT_EQ(position.count, p.count) << "picture " << i;
        }
    }
}

TEST(H264PictureOrder, UnitsWithoutAReadablePositionHaveNone) {
    const SequenceSpec frames{0, 8, 4, 2};
    SequenceSpec interlaced = frames;
    interlaced.framesOnly = false;
    std::vector<std::uint8_t> cutSequence = sequenceUnit(frames);
    cutSequence.resize(9);
    struct Case {
        const char* what;
        std::vector<std::uint8_t> unit;
    } cases[] = {
        {"no slice", join({sequenceUnit(frames), pictureParametersUnit()})},
        {"no parameter sets", join({sliceUnit(frames, true, true, 0)})},
        {"sequence cut short", join({cutSequence, pictureParametersUnit(), sliceUnit(frames, true, true, 0)})},
        {"a field",
         join({sequenceUnit(interlaced), pictureParametersUnit(), sliceUnit(interlaced, true, true, 0, true)})},
        {"empty", {}},
        {"start code only", {0, 0, 1}},
    };
    for (const Case& c : cases) {
        H264PictureOrder order;
        EXPECT_FALSE(order.scan(c.unit.data(), c.unit.size()).known) << c.what;
    }
    // Random units with the types it reads: whatever they hold, they are
    // read within their bytes.
    std::mt19937 random(7);
    H264PictureOrder order;
    for (int i = 0; i < 2000; ++i) {
        std::vector<std::uint8_t> unit(3 + random() % 40);
        for (std::uint8_t& byte : unit) byte = static_cast<std::uint8_t>(random());
        unit[0] = 0, unit[1] = 0, unit[2] = 1;
        const std::uint8_t types[] = {7, 8, 5, 1};
        if (unit.size() > 3) unit[3] = static_cast<std::uint8_t>(0x60 | types[i % 4]);
        order.scan(unit.data(), unit.size());
    }
    EXPECT_LE(order.reorderDepth(), H264PictureOrder::MAX_REORDER_DEPTH);
}
