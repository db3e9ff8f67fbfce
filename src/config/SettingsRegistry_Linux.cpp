#include "SettingsRegistry.h"

// Elements of the configuration file marked OS="Linux" win over unmarked ones.
const char* configOsName() { return "Linux"; }
