#include "GuiApplication.h"

#include "ClientProtocolHandler.h"
#include "TestPaths.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWebEnginePage>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

TempDir& dataHome() {
    static TempDir directory;
    return directory;
}

// Ends the application after the last test, before static destruction, and
// with it the browser engine.
class ApplicationEnvironment : public ::testing::Environment {
public:
    explicit ApplicationEnvironment(QApplication* application) : application_(application) {}
    void TearDown() override { delete application_; }

private:
    QApplication* application_;
};

} // namespace

void ensureApplication() {
    if (QCoreApplication::instance() != nullptr) return;
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    qputenv("XDG_DATA_HOME", QByteArray::fromStdString(dataHome().path()));
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(dataHome().path()));
    ::chmod(dataHome().path().c_str(), 0700);
    registerUrlScheme();
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    static int argc = 1;
    static char name[] = "webgui_tests";
    static char* argv[] = {name, nullptr};
    auto* application = new QApplication(argc, argv);
    ::testing::AddGlobalTestEnvironment(new ApplicationEnvironment(application));
    QCoreApplication::setApplicationName(QStringLiteral("Quarrydesk Client"));
}


QVariant runScript(QWebEnginePage& page, const std::string& script) {
    QVariant result;
    bool done = false;
    page.runJavaScript(QString::fromStdString(script), [&](const QVariant& value) {
        result = value;
        done = true;
    });
    waitUntil([&] { return done; });
    return result;
}

std::string testDataDirectory() { return dataHome().path() + "/Quarrydesk Client"; }
