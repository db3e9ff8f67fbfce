#include "StartupOptions.h"

StartupOptions startupOptions;
