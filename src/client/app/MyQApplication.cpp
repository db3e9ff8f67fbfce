#include "MyQApplication.h"

#include "ClientGLWidget.h"

MyQApplication::MyQApplication(int& argc, char** argv) : QApplication(argc, argv) {}

MyQApplication::~MyQApplication() { delete mainWidget; }
