// A condition that comes and goes (no descriptor or no thread left for a
// new connection) is told when it begins and when it ends, not each time
// it is met: a listener at the edge of its limit would otherwise write a
// line per connection. A beginning is told at most once per quiet time;
// the end is told for a beginning that was told.
//
// A run of events that has no end of its own (connections refused one by
// one) is told at its first event and then summed up once the quiet time
// has passed (lapsed): at most two lines per quiet time, however many come.
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
    // Ends a told beginning once the quiet time has passed since it was
    // told: true with the times it was met since then, the first included.
    // The next met() tells a new beginning.
    bool lapsed(std::uint64_t& times);
    // When the last beginning was told.
    Clock::time_point toldAt() const { return toldAt_; }

private:
    const Clock::duration quiet_;
    bool short_ = false;
    bool told_ = false;
    bool everTold_ = false;
    Clock::time_point toldAt_;
    std::uint64_t times_ = 0;
};
