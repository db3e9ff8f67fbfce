// Fixture of the configuration tests: an application configuration made
// from an XML text (plus a writable layer for published values), installed
// as the configuration container, and a log capture at trace level.
#pragma once

#include "LogCapture.h"

#include <Poco/AutoPtr.h>
#include <Poco/Util/LayeredConfiguration.h>

#include <gtest/gtest.h>

#include <string>

// Elements Client.L0 (eight characters) to Client.L<levels>, each level ten
// references to the level below: 10^levels references in all.
std::string referenceFan(int levels);

class ConfigTest : public ::testing::Test {
protected:
    ConfigTest();
    ~ConfigTest() override;

    // Replaces the application configuration by the XML text (a whole
    // document with the root element config; empty: no file at all).
    void useConfig(const std::string& xml);
    // Sets an application property ("application.dir" etc.).
    void setProperty(const std::string& name, const std::string& value);

    // Log lines of priority warning or more severe.
    std::vector<std::string> warnings() const;

    Poco::AutoPtr<Poco::Util::LayeredConfiguration> config;
    LogCapture log{"trace"};
};
