#include "Logging.h"

#include <Poco/Exception.h>
#include <Poco/Logger.h>
#include <Poco/StringTokenizer.h>

#include <atomic>
#include <cstdio>
#include <exception>

const LogComponent logComponents[] = {
    {LogComponentMask::BROKER, "BROKER"},
    {LogComponentMask::COPY, "COPY"},
    {LogComponentMask::PASTE, "PASTE"},
    {LogComponentMask::VH, "VH"},
    {LogComponentMask::LOSSLESS, "LOSSLESS"},
    {LogComponentMask::QOS, "QOS"},
    {LogComponentMask::DECODER, "DECODER"},
    {LogComponentMask::KISOK, "KISOK"},
    {LogComponentMask::AUTH, "AUTH"},
    {LogComponentMask::CONF, "CONF"},
    {LogComponentMask::KB, "KB"},
    {LogComponentMask::SMGNT, "SMGNT"},
    {LogComponentMask::SSL, "SSL"},
    {LogComponentMask::NET, "NET"},
    {LogComponentMask::OTHER, "OTHER"},
    {LogComponentMask::QTGUI, "QTGUI"},
    {LogComponentMask::JS, "JS"},
    {0, ""},
};

std::uint64_t debugComponentMask = 0;
std::uint64_t traceComponentMask = 0;

namespace {

// Set once by createClientLogger; POCO keeps the logger alive until exit.
std::atomic<Poco::Logger*> loggerHolder{nullptr};

std::atomic<bool> writeFailureReported{false};

inline void logAt(Poco::Message::Priority priority, std::string&& text) {
    Poco::Logger* logger = loggerHolder.load(std::memory_order_acquire);
    if (logger && logger->is(priority)) {
        try {
            logger->log(Poco::Message(logger->name(), std::move(text), priority));
        } catch (const Poco::Exception& e) {
            reportLogWriteFailure("Can't write a log line: " + e.displayText());
        } catch (const std::exception& e) {
            reportLogWriteFailure(std::string("Can't write a log line: ") + e.what());
        } catch (...) {
            reportLogWriteFailure("Can't write a log line");
        }
    }
}

} // namespace

void logFatal(std::string text) { logAt(Poco::Message::PRIO_FATAL, std::move(text)); }
void logCritical(std::string text) { logAt(Poco::Message::PRIO_CRITICAL, std::move(text)); }
void logError(std::string text) { logAt(Poco::Message::PRIO_ERROR, std::move(text)); }
void logWarning(std::string text) { logAt(Poco::Message::PRIO_WARNING, std::move(text)); }
void logNotice(std::string text) { logAt(Poco::Message::PRIO_NOTICE, std::move(text)); }
void logInformation(std::string text) { logAt(Poco::Message::PRIO_INFORMATION, std::move(text)); }
void logDebug(std::string text) { logAt(Poco::Message::PRIO_DEBUG, std::move(text)); }
void logTrace(std::string text) { logAt(Poco::Message::PRIO_TRACE, std::move(text)); }

bool isDebugEnabled() {
    Poco::Logger* logger = loggerHolder.load(std::memory_order_acquire);
    return logger && logger->getLevel() >= Poco::Message::PRIO_DEBUG;
}

bool isTraceEnabled() {
    Poco::Logger* logger = loggerHolder.load(std::memory_order_acquire);
    return logger && logger->getLevel() >= Poco::Message::PRIO_TRACE;
}

std::string componentNames(std::uint64_t components, bool traceMask) {
    const std::uint64_t selected = components & (traceMask ? traceComponentMask : debugComponentMask);
    std::string names;
    for (const LogComponent* c = logComponents; c->mask != 0; ++c) {
        if (selected & c->mask) {
            if (!names.empty()) names += ',';
            names += c->name;
        }
    }
    return names;
}

bool componentSelected(std::uint64_t components) {
    return ((debugComponentMask | traceComponentMask) & components) != 0;
}

void componentLog(std::uint64_t components, int priority, std::string text) {
    if (componentSelected(components)) {
        logInformation(componentNames(components, false) + ":" + text);
        return;
    }
    if (priority < Poco::Message::PRIO_FATAL) priority = Poco::Message::PRIO_FATAL;
    if (priority > Poco::Message::PRIO_TRACE) priority = Poco::Message::PRIO_TRACE;
    logAt(static_cast<Poco::Message::Priority>(priority), std::move(text));
}

void componentDebug(std::uint64_t components, std::string text) {
    componentLog(components, Poco::Message::PRIO_DEBUG, std::move(text));
}

void componentTrace(std::uint64_t components, std::string text) {
    if ((traceComponentMask & components) != 0) {
        logInformation(componentNames(components, true) + ":" + text);
    } else if (isTraceEnabled()) {
        logTrace(std::move(text));
    }
}

std::uint64_t parseComponentList(const std::string& text) {
    if (text == "ALL") return ~std::uint64_t(0);
    std::uint64_t mask = 0;
    Poco::StringTokenizer tokens(text, ",",
                                 Poco::StringTokenizer::TOK_TRIM | Poco::StringTokenizer::TOK_IGNORE_EMPTY);
    for (const std::string& token : tokens) {
        for (const LogComponent* c = logComponents; c->mask != 0; ++c) {
            if (token == c->name) {
                mask |= c->mask;
                break;
            }
        }
    }
    return mask;
}

std::vector<std::string> componentNameList() {
    std::vector<std::string> names{""};
    for (const LogComponent* c = logComponents; c->mask != 0; ++c) names.emplace_back(c->name);
    return names;
}

Poco::Logger* clientLogger() { return loggerHolder.load(std::memory_order_acquire); }

void createClientLogger() {
    Poco::Logger& logger = Poco::Logger::get("QOR");
    loggerHolder.store(&logger, std::memory_order_release);
}

void reportLogWriteFailure(const std::string& text) {
    if (writeFailureReported.exchange(true)) return;
    std::fprintf(stderr, "%s\n", text.c_str());
    std::fflush(stderr);
}

void setClientLoggerLevel(const std::string& level) {
    if (Poco::Logger* logger = clientLogger()) logger->setLevel(level);
}
