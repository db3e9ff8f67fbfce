// The colour-conversion thread of a decoder whose canvas cannot draw the
// stream decoder's output: converts each decoded frame the decoder posts,
// gives the source frame back to its allocator at once and presents the
// converted one, so that the conversion of one picture overlaps with the
// decoding of the next.
#pragma once

#include "QorEventThread.h"

namespace qor {

class NativeDecoder;

class NativeColorConvThread : public QorEventThread {
public:
    // The decoder must outlive the thread and keep its stream decoder,
    // canvas and statistics while the loop runs.
    explicit NativeColorConvThread(NativeDecoder* decoder);
    // Frames still queued go back to their allocators.
    ~NativeColorConvThread() override;

    void eventLoop() override;

private:
    NativeDecoder* const decoder_;
};

} // namespace qor
