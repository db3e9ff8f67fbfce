// The helper service vhproxy: the one process-wide service object, with
// log name "vhProxyService", service name "vhproxy" and display name
// "VHProxy service".
#pragma once

#include "QorWinService.h"

namespace qor {

class VHProxyService : public QorWinService {
public:
    using QorWinService::QorWinService;
};

} // namespace qor

extern qor::VHProxyService vhProxyService;
