// A shortage that comes and goes (no descriptor or no thread left for a
// new connection) is told when it begins and when it ends, not each time
// it is met: a listener at the edge of its limit would otherwise write a
// line per connection. A beginning is told at most once per quiet time;
// the end is told for a beginning that was told.
#pragma once

#include <chrono>
#include <cstdint>

class ShortageReport {
public:
    using Clock = std::chrono::steady_clock;

    explicit ShortageReport(Clock::duration quiet = std::chrono::minutes(1));

    // The shortage was met; true when its beginning is to be told now.
    bool met();
    // The shortage is over; true when its end is to be told now, with the
    // times it was met since its beginning was told.
    bool over(std::uint64_t& times);

private:
    const Clock::duration quiet_;
    bool short_ = false;
    bool told_ = false;
    bool everTold_ = false;
    Clock::time_point toldAt_;
    std::uint64_t times_ = 0;
};
