#include "DemoServerApp.h"
#include "TerminationSignals.h"

#include <Poco/Exception.h>

#include <iostream>

int main(int argc, char** argv) {
    blockTerminationSignals();
    try {
        DemoServerApp app;
        return app.run(argc, argv);
    } catch (const Poco::Exception& e) {
        std::cerr << e.displayText() << "\n";
        return Poco::Util::Application::EXIT_SOFTWARE;
    }
}
