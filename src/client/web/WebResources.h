// The web side's compiled-in images (":images/ajax-loader.gif",
// ":images/favicon-qdk.ico"). The web library is static, so its resources
// are registered by this call; it may come before the Qt application.
#pragma once

void initWebResources();
