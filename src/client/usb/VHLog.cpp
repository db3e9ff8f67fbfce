#include "VHLog.h"

#include "Logging.h"

void vhCritical(std::string text) { componentLog(LogComponentMask::VH, 2, std::move(text)); }
void vhError(std::string text) { componentLog(LogComponentMask::VH, 3, std::move(text)); }
void vhWarning(std::string text) { componentLog(LogComponentMask::VH, 4, std::move(text)); }
void vhNotice(std::string text) { componentLog(LogComponentMask::VH, 5, std::move(text)); }
void vhInformation(std::string text) { componentLog(LogComponentMask::VH, 6, std::move(text)); }
void vhDebug(std::string text) { componentDebug(LogComponentMask::VH, std::move(text)); }
void vhTrace(std::string text) { componentTrace(LogComponentMask::VH, std::move(text)); }

void vhLogIfNews(bool news, void (*log)(std::string), std::string text) {
    if (news)
        log(std::move(text));
    else
        vhDebug(std::move(text));
}
