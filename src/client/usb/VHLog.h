// Log helpers of USB forwarding. Every line belongs to the log component VH:
// when VH is selected for debug or trace output, a line goes out at
// information level behind the component names; otherwise at its own level
// (debug and trace lines only when that level is on).
#pragma once

#include <string>

void vhCritical(std::string text);
void vhError(std::string text);
void vhWarning(std::string text);
void vhNotice(std::string text);
void vhInformation(std::string text);
void vhDebug(std::string text);
void vhTrace(std::string text);

// A line at the level of log when news is set, else at debug: what a state
// that lasts says once, when it begins.
void vhLogIfNews(bool news, void (*log)(std::string), std::string text);
