// One video message (one access unit) for a screen's decoder.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class NativeClientVideoFrameEvent final : public NativeClientBaseEvent {
public:
    using Buffer = EventPayload<char>;

    // Takes over the receive buffer; length is the number of bytes in it.
    NativeClientVideoFrameEvent(Buffer data, std::int32_t length);

    // Hands the buffer to the consumer, which frees it after decoding.
    Buffer takeData() { return std::move(data); }

    Buffer data;
    std::int32_t length;

private:
    ~NativeClientVideoFrameEvent() override = default;
};

} // namespace qor
