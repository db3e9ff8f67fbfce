// The start-up OpenGL check: version texts, the real context under Xvfb,
// an OpenGL 2.0 context (Mesa's override, in a child process) and the
// warning box.
#include "CanvasTestSupport.h"
#include "LogCapture.h"
#include "OpenGLCheck.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Runs one test of this program in a child process with more environment
// and expects it to pass within the time (the child is killed after it).
void expectChildPasses(const char* test, std::initializer_list<std::pair<const char*, const char*>> environment,
                       int timeoutMs = 60000) {
    QProcess child;
    QProcessEnvironment childEnvironment = QProcessEnvironment::systemEnvironment();
    for (const auto& variable : environment) childEnvironment.insert(variable.first, variable.second);
    child.setProcessEnvironment(childEnvironment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(QCoreApplication::applicationFilePath(), {QString("--gtest_filter=") + test});
    ASSERT_TRUE(child.waitForFinished(timeoutMs)) << test << " did not end in time";
    const QString output = QString::fromLocal8Bit(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

TEST(OpenGLCheck, VersionFromTheVersionText) {
    struct Case {
        const char* text;
        bool parsed;
        int major, minor;
    };
    const Case cases[] = {
        {"2.1.0 Build 8.15.10.2869", true, 2, 1}, {"2.0 Mesa 22.3.6", true, 2, 0},
        {"1.4 Vendor", true, 1, 4},               {"2.1", true, 2, 1},
        {"4.6.0 NVIDIA 535.54", true, 4, 6},      {"4 Vendor 1.2", false, 0, 0},
        {"", false, 0, 0},                        {"x.y vendor", true, 0, 0},
        {"3.x1 vendor", true, 3, 0},
    };
    for (const Case& c : cases) {
        int major = -5;
        int minor = -5;
        EXPECT_EQ(parseOpenGLVersion(c.text, major, minor), c.parsed) << c.text;
        if (c.parsed) {
            EXPECT_EQ(major, c.major) << c.text;
            EXPECT_EQ(minor, c.minor) << c.text;
        }
    }
}

TEST(OpenGLCheck, WarningTextNamesTheFoundVersion) {
    glMajorVersion = 1;
    glMinorVersion = 4;
    std::string text = openGLWarningMessage();
    EXPECT_EQ(text.rfind("OpenGL version 2.1 is required for optimal graphics performance.  ", 0), 0u);
    EXPECT_NE(text.find("Found OpenGL version '1.4'.\n\n"), std::string::npos);
    glMajorVersion = 0;
    glMinorVersion = 0;
    text = openGLWarningMessage();
    EXPECT_NE(text.find("Found OpenGL version earlier than 2.1.\n\n"), std::string::npos);
    EXPECT_NE(text.find("make sure video hardware acceleration is turned on.\n\n"), std::string::npos);
}

TEST(OpenGLCheck, DetectsTheDisplaysOpenGL) {
    if (std::getenv("QDK_EXPECT_OLD_OPENGL") != nullptr) GTEST_SKIP() << "run by the old-OpenGL child";
    LogCapture log("debug");
    EXPECT_TRUE(detectOpenGLVersion());
    EXPECT_GE(glMajorVersion, 2);
    EXPECT_FALSE(glVersionString.empty());
    EXPECT_TRUE(log.contains("OpenGL Version: " + std::to_string(glMajorVersion) + "." +
                             std::to_string(glMinorVersion)));
    EXPECT_TRUE(log.contains("Found OpenGL version string '" + glVersionString + "'."));
}

// Runs in the child process below only.
TEST(OpenGLCheck, OldOpenGLChild) {
    if (std::getenv("QDK_EXPECT_OLD_OPENGL") == nullptr) GTEST_SKIP() << "child of RefusesOpenGLTwoZero";
    EXPECT_FALSE(detectOpenGLVersion());
    EXPECT_EQ(glMajorVersion, 2);
    EXPECT_EQ(glMinorVersion, 0);
}

TEST(OpenGLCheck, RefusesOpenGLTwoZero) {
    if (std::getenv("QDK_EXPECT_OLD_OPENGL") != nullptr) GTEST_SKIP() << "run by the old-OpenGL child";
    expectChildPasses("OpenGLCheck.OldOpenGLChild",
                      {{"MESA_GL_VERSION_OVERRIDE", "2.0"}, {"QDK_EXPECT_OLD_OPENGL", "1"}});
}

// Runs in the child process below only: an X server connection on which
// Qt makes no OpenGL context at all.
TEST(OpenGLCheck, QuickTestWithoutOpenGLChild) {
    if (std::getenv("QDK_EXPECT_NO_OPENGL") == nullptr) GTEST_SKIP() << "child of QuickTestWithoutOpenGLFails";
    LogCapture log("debug");
    EXPECT_FALSE(detectOpenGLVersion());
    EXPECT_TRUE(log.contains("Can't create an OpenGL context"));
    // As after "Proceed without OpenGL support": the test ends, failed.
    EXPECT_EQ(runQuickOpenGLTest("125", 1500), -1);
    EXPECT_TRUE(log.contains("Running quick OpenGL tests"));
    EXPECT_TRUE(log.contains("The OpenGL test window got no OpenGL context within 1500 ms"));
    EXPECT_TRUE(log.contains("OpenGL problems detected, check log"));
    EXPECT_FALSE(log.contains("No OpenGL problems detected"));
}

TEST(OpenGLCheck, QuickTestWithoutOpenGLFails) {
    if (std::getenv("QDK_EXPECT_NO_OPENGL") != nullptr) GTEST_SKIP() << "run by the no-OpenGL child";
    // A test that waits for a context forever never ends.
    expectChildPasses("OpenGLCheck.QuickTestWithoutOpenGLChild",
                      {{"QT_XCB_GL_INTEGRATION", "none"}, {"QDK_EXPECT_NO_OPENGL", "1"}}, 30000);
}

TEST(OpenGLCheck, WarningBoxAnswers) {
    struct Case {
        const char* what;
        std::function<void(QMessageBox*)> act;
        bool answer;
    };
    const Case cases[] = {
        {"Escape", [](QMessageBox* box) {
             QKeyEvent press(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
             QApplication::sendEvent(box, &press);
         }, false},
        {"Abort", [](QMessageBox* box) {
             for (QAbstractButton* button : box->buttons()) {
                 if (button->text() == "Abort") button->click();
             }
         }, false},
        {"Proceed", [](QMessageBox* box) {
             for (QAbstractButton* button : box->buttons()) {
                 if (button->text() == "Proceed without OpenGL support") button->click();
             }
         }, true},
        {"Enter (Abort is the default)", [](QMessageBox* box) {
             QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
             QApplication::sendEvent(box, &press);
         }, false},
    };
    for (const Case& c : cases) {
        std::string title;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr) return;
            poll.stop();
            title = box->windowTitle().toStdString();
            c.act(box);
        });
        poll.start(20);
        EXPECT_EQ(showOpenGLWarning(), c.answer) << c.what;
        EXPECT_EQ(title, "Can't use OpenGL for graphics");
    }
}

} // namespace
