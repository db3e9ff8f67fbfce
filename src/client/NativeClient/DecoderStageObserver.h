// Optional timing hook of a decoder thread: told when each access unit's
// decode starts and ends and when its picture has been converted, on the
// thread that did the work. For measurements; decoders run without one.
#pragma once

namespace qor {

class DecoderStageObserver {
public:
    enum class Stage {
        DECODE_START,     // decoder thread, before the stream decoder runs
        DECODE_DONE,      // decoder thread, a picture came out
        NO_PICTURE,       // decoder thread, the unit gave no picture
        CONVERSION_DONE,  // decoder or colour-conversion thread, converted frame made
    };

    virtual ~DecoderStageObserver() = default;
    virtual void stageReached(Stage stage) = 0;
};

} // namespace qor
