// A decoder lost track of its stream and asks for a resynchronisation.
#pragma once

#include "NativeClientBaseEvent.h"

namespace qor {

class NativeClientDecoderOutOfSyncEvent final : public NativeClientBaseEvent {
public:
    explicit NativeClientDecoderOutOfSyncEvent(std::int32_t screen);

    std::int32_t screen;

private:
    ~NativeClientDecoderOutOfSyncEvent() override = default;
};

} // namespace qor
