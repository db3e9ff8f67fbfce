// Whether the client can open its windows: a run without a display would
// otherwise end in the GUI toolkit's abort (a core dump and the advice to
// reinstall), after the USB server and the start address were set up.
#pragma once

#include <string>

// True when the display the GUI toolkit will use can be opened, or when the
// toolkit is told to use a platform that needs none (QT_QPA_PLATFORM
// naming e.g. offscreen or vnc). Otherwise false, with reason saying which
// display could not be opened and which variable to set.
bool displayReachable(std::string& reason);
