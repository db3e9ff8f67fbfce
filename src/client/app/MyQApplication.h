// The Qt application object of the client. Its destructor deletes the main
// window before the application itself goes.
#pragma once

#include <QApplication>

#include <string>

class QWidget;

// The main window; null until main creates it. Not cleared after deletion.
extern QWidget* mainWidget;
// Put in front of every window title when not empty.
extern std::string windowTitleWarning;

class MyQApplication : public QApplication {
public:
    MyQApplication(int& argc, char** argv);
    ~MyQApplication() override;
};
