#include "MyQApplication.h"

#include <QWidget>

QWidget* mainWidget = nullptr;
std::string windowTitleWarning;

MyQApplication::MyQApplication(int& argc, char** argv) : QApplication(argc, argv) {}

MyQApplication::~MyQApplication() { delete mainWidget; }
