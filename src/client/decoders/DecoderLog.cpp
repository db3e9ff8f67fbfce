#include "DecoderLog.h"

#include "Logging.h"

namespace {
bool decoderSelected() {
    return ((debugComponentMask | traceComponentMask) & LogComponentMask::DECODER) != 0;
}

void promoteOr(void (*own)(std::string), std::string text) {
    if (decoderSelected()) {
        logInformation(componentNames(LogComponentMask::DECODER, false) + ":" + text);
    } else {
        own(std::move(text));
    }
}
} // namespace

void decoderWarning(std::string text) { promoteOr(logWarning, std::move(text)); }
void decoderError(std::string text) { promoteOr(logError, std::move(text)); }
void decoderCritical(std::string text) { promoteOr(logCritical, std::move(text)); }
void decoderDebug(std::string text) { componentDebug(LogComponentMask::DECODER, std::move(text)); }
void decoderTrace(std::string text) { componentTrace(LogComponentMask::DECODER, std::move(text)); }
