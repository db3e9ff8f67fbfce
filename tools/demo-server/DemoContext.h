// What the request handlers of one demo server share.
#pragma once

#include "AccessUnitStream.h"
#include "DemoOptions.h"
#include "DeskRegistry.h"
#include "SignInSessions.h"
#include "TicketBook.h"

#include <Poco/Logger.h>

#include <atomic>
#include <memory>
#include <vector>

struct DemoContext {
    DemoContext(const DemoOptions& opts, std::vector<std::shared_ptr<const AccessUnitStream>> screenStreams,
                Poco::Logger& log)
        : options(opts), streams(std::move(screenStreams)), logger(log) {}

    const DemoOptions& options;
    const std::vector<std::shared_ptr<const AccessUnitStream>> streams;  // one per screen
    Poco::Logger& logger;
    SignInSessions sessions;
    TicketBook tickets;
    DeskRegistry desks;
    std::atomic<bool> stopping{false};
};
