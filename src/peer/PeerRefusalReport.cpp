#include "PeerRefusalReport.h"

PeerRefusalReport::PeerRefusalReport(ShortageReport::Clock::duration period) : period_(period) {}

bool PeerRefusalReport::refused(unsigned int userId) {
    std::lock_guard<std::mutex> guard(lock_);
    return users_.try_emplace(userId, period_).first->second.met();
}

std::vector<PeerRefusalReport::Summary> PeerRefusalReport::summaries(bool all) {
    std::vector<Summary> told;
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [userId, report] : users_) {
        std::uint64_t times = 0;
        const ShortageReport::Clock::time_point toldAt = report.toldAt();
        if (!(all ? report.over(times) : report.lapsed(times)) || times < 2) continue;
        Summary summary;
        summary.userId = userId;
        summary.more = times - 1;
        summary.seconds =
            std::chrono::duration_cast<std::chrono::seconds>(ShortageReport::Clock::now() - toldAt).count();
        told.push_back(summary);
    }
    return told;
}

std::string PeerRefusalReport::Summary::text() const {
    return std::to_string(more) + " more connections of user " + std::to_string(userId) + " in the last " +
           std::to_string(seconds) + " s";
}
