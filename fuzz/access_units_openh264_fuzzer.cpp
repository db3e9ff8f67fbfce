// H.264 byte streams through the access-unit splitter and the OpenH264 decoder
// (the linked OpenH264 library); see AccessUnitFeed.h for the layout of an input.
#include "AccessUnitFeed.h"
#include "FuzzSupport.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::discardLogs("trace");
    fuzz::registerStreamDecoders();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::feedAccessUnits("OpenH264", data, size);
    return 0;
}
