// A shortage that comes and goes is told when it begins and when it ends:
// once however often it is met, and at most one beginning per quiet time.
// A run without an end of its own is summed up once its quiet time is past.
#include "ShortageReport.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Steps: 'm' met, 'o' over, 'l' lapsed. The result: 'B' a beginning told, 'E' and the
// times an end told, '.' nothing.
std::string play(ShortageReport& report, const std::string& steps) {
    std::string told;
    for (const char step : steps) {
        std::uint64_t times = 0;
        if (step == 'm') told += report.met() ? "B" : ".";
        else if (step == 'l' ? report.lapsed(times) : report.over(times)) told += "E" + std::to_string(times);
        else told += ".";
    }
    return told;
}

} // namespace

TEST(ShortageReport, TellsBeginningsAndEndsNotEachTime) {
    const struct {
        bool quiet;
        const char* steps;
        const char* told;
    } cases[] = {
        {true, "mmmo", "B..E3"},
        {true, "o", "."},
        {true, "mommo", "BE1..."},   // begins again within the quiet time: not told
        {true, "mmoo", "B.E2."},
        {false, "mommo", "BE1B.E2"}, // no quiet time: each beginning told
        {true, "mmml", "B..."},       // within the quiet time: not summed up yet
        {true, "mmlo", "B..E2"},
        {false, "l", "."},
        {false, "mmlml", "B.E2BE1"},  // past the quiet time: summed up, then a new beginning
        {false, "mmll", "B.E2."},
    };
    for (const auto& c : cases) {
        ShortageReport report(c.quiet ? std::chrono::minutes(1) : std::chrono::minutes(0));
        EXPECT_EQ(play(report, c.steps), c.told) << c.steps;
    }
}
