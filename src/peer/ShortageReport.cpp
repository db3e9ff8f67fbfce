#include "ShortageReport.h"

ShortageReport::ShortageReport(Clock::duration quiet) : quiet_(quiet) {}

bool ShortageReport::met() {
    ++times_;
    if (short_) return false;
    short_ = true;
    const Clock::time_point now = Clock::now();
    if (everTold_ && now - toldAt_ < quiet_) return false;
    everTold_ = told_ = true;
    toldAt_ = now;
    times_ = 1;
    return true;
}

bool ShortageReport::over(std::uint64_t& times) {
    if (!short_) return false;
    short_ = false;
    if (!told_) return false;
    told_ = false;
    times = times_;
    return true;
}

bool ShortageReport::lapsed(std::uint64_t& times) {
    if (!told_ || Clock::now() - toldAt_ < quiet_) return false;
    return over(times);
}
