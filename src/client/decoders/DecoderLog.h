// Log helpers of the decoding code: warnings, errors and critical lines
// that follow the component rule of the facade (written at information
// level behind the component names when DECODER is selected for debug or
// trace output, else at their own level).
#pragma once

#include <string>

void decoderWarning(std::string text);
void decoderError(std::string text);
void decoderCritical(std::string text);
void decoderDebug(std::string text);
void decoderTrace(std::string text);
