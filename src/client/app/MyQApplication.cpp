#include "MyQApplication.h"

#include "CanvasRegistry.h"
#include "ClientGLWidget.h"

MyQApplication::MyQApplication(int& argc, char** argv) : QApplication(argc, argv) {}

MyQApplication::~MyQApplication() {
    delete mainWidget;
    // The connection side has ended (aboutToQuit): what the registry still
    // holds, such as the main window's entry given back when the last proxy
    // ended, goes with the program.
    qor::clearCanvasRegistry();
}
