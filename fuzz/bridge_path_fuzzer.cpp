// Request targets of the js-bridge, taken apart as the bridge does it: the
// URI's path, its segments split as a Windows path and the "ws" segment of
// the layout [prefix...]/ws/<free>/<client id>/<nonce>. Whatever the target,
// no segment may be empty, "." or ".." (a ".." that survived would climb
// out of the prefix the server connections use), and the "ws" segment found
// must have three segments after it. What the request handler then accepts
// as client id and prefix is checked by the request harness.
#include "FuzzSupport.h"
#include "JsBridge.h"

#include <Poco/Exception.h>
#include <Poco/URI.h>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::discardLogs("trace");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string target(reinterpret_cast<const char*>(data), size);
    std::string path;
    try {
        path = Poco::URI(target).getPath();
    } catch (const Poco::Exception&) {
        return 0; // the bridge answers 400
    }
    std::vector<std::string> segments;
    try {
        segments = qor::bridgePathSegments(path + "/");
    } catch (const Poco::Exception&) {
        return 0; // refused as an invalid request
    }
    for (const std::string& segment : segments) {
        if (segment.empty() || segment == "." || segment == "..")
            fuzz::fail("segment '" + segment + "' survived in the path of '" + target + "'");
    }
    const int ws = qor::findWsSegment(segments);
    if (ws >= 0 && (segments[static_cast<std::size_t>(ws)] != "ws" || static_cast<std::size_t>(ws) + 3 >= segments.size()))
        fuzz::fail("findWsSegment gave " + std::to_string(ws) + " for '" + target + "'");
    if (qor::findWsSegment(path + "/") != ws) fuzz::fail("the two findWsSegment forms differ for '" + target + "'");
    return 0;
}
