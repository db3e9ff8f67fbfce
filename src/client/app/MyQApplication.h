// The Qt application object of the client. Its destructor deletes the main
// window before the application itself goes.
#pragma once

#include <QApplication>

class MyQApplication : public QApplication {
public:
    MyQApplication(int& argc, char** argv);
    ~MyQApplication() override;
};
