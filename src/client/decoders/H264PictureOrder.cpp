#include "H264PictureOrder.h"

#include "AccessUnitSplitter.h"

#include <algorithm>

namespace qor {

namespace {

// Reads the bits of a NAL unit's payload, dropping its emulation-prevention
// bytes (00 00 03). Reading past the end fails the reader; values read
// after that are 0.
class BitReader {
public:
    BitReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    bool ok() const { return ok_; }

    std::uint32_t bits(int count) {
        std::uint32_t value = 0;
        for (int i = 0; i < count; ++i) value = (value << 1) | bit();
        return value;
    }
    bool flag() { return bit() != 0; }

    // Exp-Golomb codes; values beyond 32 bits fail the reader.
    std::uint32_t ue() {
        int zeros = 0;
        while (ok_ && bit() == 0) {
            if (++zeros > 31) {
                ok_ = false;
                return 0;
            }
        }
        if (!ok_) return 0;
        const std::uint64_t value = (std::uint64_t{1} << zeros) - 1 + bits(zeros);
        if (value > 0xfffffffeu) ok_ = false;
        return ok_ ? static_cast<std::uint32_t>(value) : 0;
    }
    std::int64_t se() {
        const std::uint32_t code = ue();
        return (code & 1) != 0 ? (std::int64_t{code} + 1) / 2 : -(std::int64_t{code} / 2);
    }
    // ue() that must not exceed the limit.
    std::uint32_t ue(std::uint32_t limit) {
        const std::uint32_t value = ue();
        if (value > limit) ok_ = false;
        return ok_ ? value : 0;
    }

private:
    std::uint32_t bit() {
        if (bitsLeft_ == 0) {
            if (!nextByte()) {
                ok_ = false;
                return 0;
            }
        }
        --bitsLeft_;
        return (current_ >> bitsLeft_) & 1u;
    }
    bool nextByte() {
        if (!ok_ || position_ >= size_) return false;
        std::uint8_t byte = data_[position_++];
        if (zeros_ >= 2 && byte == 3) {
            zeros_ = 0;
            if (position_ >= size_) return false;
            byte = data_[position_++];
        }
        zeros_ = byte == 0 ? zeros_ + 1 : 0;
        current_ = byte;
        bitsLeft_ = 8;
        return true;
    }

    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t position_ = 0;
    int zeros_ = 0;
    std::uint32_t current_ = 0;
    int bitsLeft_ = 0;
    bool ok_ = true;
};

bool hasChromaFormat(std::uint32_t profile) {
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86: case 118: case 128: case 138: case 139:
    case 134: case 135:
        return true;
    default:
        return false;
    }
}

void skipScalingList(BitReader& reader, int size) {
    std::int64_t last = 8;
    std::int64_t next = 8;
    for (int j = 0; j < size && reader.ok(); ++j) {
        if (next != 0) next = ((last + reader.se()) % 256 + 256) % 256;
        if (next != 0) last = next;
    }
}

void skipHrdParameters(BitReader& reader) {
    const std::uint32_t count = reader.ue(31) + 1;
    reader.bits(8);  // bit_rate_scale, cpb_size_scale
    for (std::uint32_t i = 0; i < count && reader.ok(); ++i) {
        reader.ue();
        reader.ue();
        reader.flag();
    }
    reader.bits(20);  // four delay and length fields of 5 bits
}

// max_num_reorder_frames of the VUI, or -1 when it has none.
int readReorderDepth(BitReader& reader) {
    if (reader.flag()) {  // aspect_ratio_info_present_flag
        if (reader.bits(8) == 255) reader.bits(32);
    }
    if (reader.flag()) reader.flag();  // overscan
    if (reader.flag()) {               // video_signal_type_present_flag
        reader.bits(4);
        if (reader.flag()) reader.bits(24);
    }
    if (reader.flag()) {  // chroma_loc_info_present_flag
        reader.ue();
        reader.ue();
    }
    if (reader.flag()) {  // timing_info_present_flag
        reader.bits(32);
        reader.bits(32);
        reader.flag();
    }
    const bool nalHrd = reader.flag();
    if (nalHrd) skipHrdParameters(reader);
    const bool vclHrd = reader.flag();
    if (vclHrd) skipHrdParameters(reader);
    if (nalHrd || vclHrd) reader.flag();  // low_delay_hrd_flag
    reader.flag();                        // pic_struct_present_flag
    if (!reader.flag()) return -1;        // bitstream_restriction_flag
    reader.flag();
    for (int i = 0; i < 4; ++i) reader.ue();
    const std::uint32_t depth = reader.ue();
    reader.ue();  // max_dec_frame_buffering
    if (!reader.ok()) return -1;
    return static_cast<int>(std::min<std::uint32_t>(depth, H264PictureOrder::MAX_REORDER_DEPTH));
}

} // namespace

H264PictureOrder::Position H264PictureOrder::scan(const std::uint8_t* data, std::size_t length) {
    std::size_t code = AccessUnitSplitter::findStartCode(data, length, 0);
    while (code < length) {
        const std::size_t header = code + 3;
        if (header >= length) break;
        const int type = data[header] & 0x1f;
        const std::uint8_t* payload = data + header + 1;
        // The first slice tells where the unit's picture stands; its header
        // is read without looking for the slice's end (the bulk of the unit).
        if (type == 1 || type == 5) {
            return readSlice(payload, length - header - 1, type == 5, (data[header] & 0x60) != 0);
        }
        const std::size_t next = AccessUnitSplitter::findStartCode(data, length, header);
        if (type == 7) readSequence(payload, next - header - 1);
        if (type == 8) readPictureParameters(payload, next - header - 1);
        code = next;
    }
    return Position();
}

void H264PictureOrder::readSequence(const std::uint8_t* payload, std::size_t size) {
    BitReader reader(payload, size);
    const std::uint32_t profile = reader.bits(8);
    reader.bits(16);  // constraint flags, level
    const std::uint32_t id = reader.ue(31);
    Sequence sequence;
    if (hasChromaFormat(profile)) {
        const std::uint32_t chromaFormat = reader.ue(3);
        if (chromaFormat == 3) sequence.separateColourPlanes = reader.flag();
        reader.ue();  // bit depths
        reader.ue();
        reader.flag();
        if (reader.flag()) {  // seq_scaling_matrix_present_flag
            const int lists = chromaFormat == 3 ? 12 : 8;
            for (int i = 0; i < lists && reader.ok(); ++i) {
                if (reader.flag()) skipScalingList(reader, i < 6 ? 16 : 64);
            }
        }
    }
    sequence.log2MaxFrameNum = static_cast<int>(reader.ue(12)) + 4;
    sequence.orderCountType = static_cast<int>(reader.ue(2));
    if (sequence.orderCountType == 0) {
        sequence.log2MaxOrderCountLsb = static_cast<int>(reader.ue(12)) + 4;
    } else if (sequence.orderCountType == 1) {
        reader.flag();
        reader.se();
        reader.se();
        const std::uint32_t cycle = reader.ue(255);
        for (std::uint32_t i = 0; i < cycle && reader.ok(); ++i) reader.se();
    }
    reader.ue();    // max_num_ref_frames
    reader.flag();  // gaps_in_frame_num_value_allowed_flag
    reader.ue();    // picture size in macroblocks
    reader.ue();
    sequence.frameMbsOnly = reader.flag();
    if (!sequence.frameMbsOnly) reader.flag();
    reader.flag();      // direct_8x8_inference_flag
    if (reader.flag()) {  // frame_cropping_flag
        for (int i = 0; i < 4; ++i) reader.ue();
    }
    // A sequence cut short before its VUI is no sequence.
    if (!reader.ok()) return;
    const bool vui = reader.flag();
    if (reader.ok() && vui) sequence.reorderDepth = readReorderDepth(reader);
    // Order counts that follow the decoding order: nothing is reordered.
    if (sequence.orderCountType == 2) sequence.reorderDepth = 0;
    sequence.valid = true;
    sequences_[id] = sequence;
}

void H264PictureOrder::readPictureParameters(const std::uint8_t* payload, std::size_t size) {
    BitReader reader(payload, size);
    const std::uint32_t id = reader.ue(255);
    PictureParameters parameters;
    parameters.sequence = static_cast<int>(reader.ue(31));
    reader.flag();  // entropy_coding_mode_flag
    parameters.bottomFieldOrderCount = reader.flag();
    if (!reader.ok()) return;
    parameters.valid = true;
    pictureParameters_[id] = parameters;
}

H264PictureOrder::Position H264PictureOrder::readSlice(const std::uint8_t* payload, std::size_t size, bool idr,
                                                       bool reference) {
    BitReader reader(payload, size);
    reader.ue();  // first_mb_in_slice
    reader.ue();  // slice_type
    const std::uint32_t parametersId = reader.ue(255);
    if (!reader.ok() || !pictureParameters_[parametersId].valid) return Position();
    const PictureParameters& parameters = pictureParameters_[parametersId];
    const Sequence& sequence = sequences_[parameters.sequence];
    if (!sequence.valid) return Position();
    activeSequence_ = parameters.sequence;
    if (idr) {
        ++period_;
        previousMsb_ = 0;
        previousLsb_ = 0;
        decodedInPeriod_ = 0;
    }
    if (sequence.separateColourPlanes) reader.bits(2);
    reader.bits(sequence.log2MaxFrameNum);  // frame_num
    if (!sequence.frameMbsOnly && reader.flag()) return Position();  // a field
    if (idr) reader.ue();                                              // idr_pic_id
    Position position;
    position.period = period_;
    if (sequence.orderCountType == 2) {
        position.count = decodedInPeriod_++;
        position.known = reader.ok();
        return position;
    }
    if (sequence.orderCountType != 0) return Position();
    const std::int64_t lsb = reader.bits(sequence.log2MaxOrderCountLsb);
    const std::int64_t bottomDelta = parameters.bottomFieldOrderCount ? reader.se() : 0;
    if (!reader.ok()) return Position();
    const std::int64_t maxLsb = std::int64_t{1} << sequence.log2MaxOrderCountLsb;
    std::int64_t msb = previousMsb_;
    if (lsb < previousLsb_ && previousLsb_ - lsb >= maxLsb / 2) {
        msb += maxLsb;
    } else if (lsb > previousLsb_ && lsb - previousLsb_ > maxLsb / 2) {
        msb -= maxLsb;
    }
    if (reference) {
        previousMsb_ = msb;
        previousLsb_ = lsb;
    }
    position.count = std::min(msb + lsb, msb + lsb + bottomDelta);
    position.known = true;
    return position;
}

int H264PictureOrder::reorderDepth() const {
    if (depthAnnounced()) return sequences_[activeSequence_].reorderDepth;
    return learnedDepth_;
}

bool H264PictureOrder::depthAnnounced() const {
    return activeSequence_ >= 0 && sequences_[activeSequence_].reorderDepth >= 0;
}

void H264PictureOrder::learnLatePicture() {
    if (!depthAnnounced() && learnedDepth_ < MAX_REORDER_DEPTH) ++learnedDepth_;
}

} // namespace qor
