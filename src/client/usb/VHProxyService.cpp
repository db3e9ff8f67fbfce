#include "VHProxyService.h"

qor::VHProxyService vhProxyService("vhProxyService", "vhproxy", "VHProxy service");
