#include "NativeClientDecoderOutOfSyncEvent.h"

namespace qor {

NativeClientDecoderOutOfSyncEvent::NativeClientDecoderOutOfSyncEvent(std::int32_t screenIndex)
    : NativeClientBaseEvent(DECODER_OUT_OF_SYNC), screen(screenIndex) {}

} // namespace qor
