#include "MemoryCopyTest.h"

#include "CopyTimeStats.h"
#include "Logging.h"
#include "Utilities.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

namespace {

std::string fixed(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%f", value);
    return text;
}

} // namespace

void MemoryCopyTest::run() {
    struct Pass {
        const char* name;
        std::size_t luma;
        std::size_t chroma;
        std::size_t destination;
    };
    static const Pass passes[2] = {{"4k", 8294400, 2073600, 33177600}, {"8k", 33177600, 8294400, 132710400}};
    for (const Pass& pass : passes) {
        copyTimeStats.reset();
        std::unique_ptr<unsigned char[]> destination(new (std::nothrow) unsigned char[pass.destination]);
        std::unique_ptr<unsigned char[]> planes[3];
        const std::size_t sizes[3] = {pass.luma, pass.chroma, pass.chroma};
        bool allocated = destination != nullptr;
        for (int k = 0; k < 3 && allocated; ++k) {
            planes[k].reset(new (std::nothrow) unsigned char[sizes[k]]);
            allocated = planes[k] != nullptr;
        }
        if (!allocated) {
            logError(std::string("Memory copy ") + pass.name + ": not enough memory for the test buffers");
            continue;
        }
        // Changing bytes from the clock (read once per 4 KiB: reading it per
        // byte would take longer than the copies).
        for (int k = 0; k < 3; ++k) {
            unsigned char value = 0;
            for (std::size_t i = 0; i < sizes[k]; ++i) {
                if (i % 4096 == 0) value = static_cast<unsigned char>(monotonicMillis());
                planes[k][i] = static_cast<unsigned char>(value + i);
            }
        }
        for (int repetition = 0; repetition < 10; ++repetition) {
            const std::int64_t t0 = monotonicMillis();
            std::memcpy(destination.get(), planes[0].get(), sizes[0]);
            std::memcpy(destination.get() + sizes[0], planes[1].get(), sizes[1]);
            std::memcpy(destination.get() + sizes[0] + sizes[1], planes[2].get(), sizes[2]);
            copyTimeStats.add(static_cast<double>(monotonicMillis() - t0));
        }
        logNotice(std::string("Memory copy ") + pass.name + ": avg " + fixed(copyTimeStats.reportedAverage()) +
                  " ms, min/max " + fixed(copyTimeStats.minimum) + " / " + fixed(copyTimeStats.maximum));
        copyTimeStats.maximum = 0;
        copyTimeStats.minimum = 2147483647;
    }
}
