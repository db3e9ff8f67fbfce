#include "WebPlatform.h"

#include "Logging.h"

#include <QKeyEvent>
#include <QSysInfo>

#include <cstdlib>
#include <unistd.h>

QString userAgentSystemText() { return QStringLiteral("Linux ") + QSysInfo::kernelVersion(); }

int imeVirtualKey(const QKeyEvent& event) {
    // X11 reports these keys with their own key symbols, which Qt names; the
    // numbers are those of the same keys on a Japanese keyboard elsewhere.
    switch (event.key()) {
    case Qt::Key_Eisu_toggle: return 240;
    case Qt::Key_Katakana: return 241;
    case Qt::Key_Hiragana: return 242;
    case Qt::Key_Zenkaku_Hankaku:
    case Qt::Key_Zenkaku: return 243;
    case Qt::Key_Hankaku: return 244;
    default: return 0;
    }
}

void prepareBrowserEngineEnvironment() {
    if (geteuid() != 0 || std::getenv("QTWEBENGINE_DISABLE_SANDBOX") != nullptr) return;
    setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
    logNotice("Running as root: the browser engine runs without its sandbox");
}
