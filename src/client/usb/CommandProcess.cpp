#include "CommandProcess.h"

CommandProcess::~CommandProcess() { terminate(); }

bool CommandProcess::runCommandWait(const std::string& logName, const std::string& command,
                                    const std::vector<std::string>& arguments, bool wait, int waitMs) {
    if (runCommandStream(logName, command, arguments) == nullptr) return false;
    if (wait) waitReadingOutput(waitMs);
    return true;
}
