#include "ConfigFixture.h"

#include "ClientConfig.h"
#include "Logging.h"

#include <Poco/Message.h>
#include <Poco/Util/MapConfiguration.h>
#include <Poco/Util/XMLConfiguration.h>

#include <sstream>

ConfigTest::ConfigTest() { useConfig(""); }

ConfigTest::~ConfigTest() {
    debugComponentMask = 0;
    traceComponentMask = 0;
}

void ConfigTest::useConfig(const std::string& xml) {
    config = new Poco::Util::LayeredConfiguration;
    config->add(new Poco::Util::MapConfiguration, "properties", -100, true);
    if (!xml.empty()) {
        std::istringstream stream(xml);
        config->add(new Poco::Util::XMLConfiguration(stream), "file", 0, false);
    }
    createClientConfig(config.get())->m_baseConfig = config.get();
}

void ConfigTest::setProperty(const std::string& name, const std::string& value) { config->setString(name, value); }

std::vector<std::string> ConfigTest::warnings() const {
    std::vector<std::string> result;
    for (const CapturedLine& line : log.lines())
        if (line.priority <= Poco::Message::PRIO_WARNING) result.push_back(line.text);
    return result;
}

std::string referenceFan(int levels) {
    std::string xml = "<L0>xxxxxxxx</L0>";
    for (int level = 1; level <= levels; ++level) {
        std::string value;
        for (int i = 0; i < 10; ++i) value += "${Client.L" + std::to_string(level - 1) + "}";
        xml += "<L" + std::to_string(level) + ">" + value + "</L" + std::to_string(level) + ">";
    }
    return xml;
}
