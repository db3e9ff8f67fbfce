#include "LogCapture.h"
#include "Logging.h"
#include "TestPaths.h"
#include "Utilities.h"

#include <gtest/gtest.h>

#include <Poco/File.h>
#include <Poco/Message.h>
#include <Poco/Path.h>

#include <cerrno>
#include <cstring>

TEST(TextConversions, HexString) {
    struct Case {
        std::uint32_t value;
        const char* text;
    } cases[] = {
        {0, "0x0"}, {255, "0xff"}, {0x10, "0x10"}, {0xDEADBEEF, "0xdeadbeef"}, {0xFFFFFFFF, "0xffffffff"},
    };
    for (const Case& c : cases) EXPECT_EQ(toHexString(c.value), c.text) << c.value;
}

TEST(TextConversions, QuoteIfNeeded) {
    struct Case {
        const char* text;
        const char* quoted;
    } cases[] = {
        {"", "\"\""},
        {"\"", "\""},                       // one quote is first and last character
        {"\"\"", "\"\""},
        {"a b", "\"a b\""},
        {"\"a b\"", "\"a b\""},
        {"\"a b", "\"\"a b\""},
        {"a b\"", "\"a b\"\""},
    };
    for (const Case& c : cases) EXPECT_EQ(quoteIfNeeded(c.text), c.quoted) << "'" << c.text << "'";
}

TEST(TextConversions, ReplaceAll) {
    struct Case {
        const char* text;
        const char* search;
        const char* replacement;
        const char* result;
    } cases[] = {
        {"a.b.c", ".", "::", "a::b::c"},
        {"aaa", "a", "aa", "aaaaaa"},         // replacement holds the search text: not searched again
        {"xax", "a", "ba", "xbax"},
        {"abab", "ab", "", ""},
        {"aaaa", "aa", "a", "aa"},
        {"abc", "abcd", "x", "abc"},          // search longer than the text
        {"", "a", "b", ""},
        {"${HOME}/x/${HOME}", "${HOME}", "/root", "/root/x//root"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(replaceAll(c.text, c.search, c.replacement), c.result) << c.text << " / " << c.search;
}

TEST(TextConversions, BoolAndFixed) {
    EXPECT_EQ(boolToString(true), "true");
    EXPECT_EQ(boolToString(false), "false");
    EXPECT_EQ(doubleToFixed(1.0 / 3.0, 2), "0.33");
    EXPECT_EQ(doubleToFixed(2.5, 0), "2");
    EXPECT_EQ(doubleToFixed(-1.25, 3), "-1.250");
    EXPECT_EQ(doubleToFixed(1234567.891, 1), "1234567.9");
}

TEST(TextConversions, Utf16ToUtf8) {
    struct Case {
        std::u16string text;
        std::string utf8;
    } cases[] = {
        {u"", ""},
        {u"abc", "abc"},
        {u"Gr\u00fc\u00dfe", "Gr\xc3\xbc\xc3\x9f" "e"},
        {u"\u20ac", "\xe2\x82\xac"},
        {u"\U0001F600", "\xf0\x9f\x98\x80"},          // surrogate pair
        {std::u16string(1, char16_t(0xD83D)) + u"x", "\xef\xbf\xbdx"}, // lone high surrogate
        {std::u16string(1, char16_t(0xDE00)), "\xef\xbf\xbd"},         // lone low surrogate
    };
    for (const Case& c : cases) EXPECT_EQ(toUtf8(c.text), c.utf8);
}

TEST(NormalizeServerAddress, Table) {
    struct Case {
        const char* address;
        const char* result;
    } cases[] = {
        {"", ""},
        {"server", "server"},
        {"desk.example.com", "desk.example.com"},
        {"desk-1.example.com:8443", "desk-1.example.com:8443"},
        {"10.0.0.1", "10.0.0.1"},
        {"10.0.0.1:443", "10.0.0.1:443"},
        {"[fe80::1]:443", "[fe80::1]:443"},
        {"[::1]", "[::1]"},
        {"::1", "[::1]"},
        {"fe80::1:2", "[fe80::1:2]"},
        {"2001:db8::8a2e:370:7334", "[2001:db8::8a2e:370:7334]"},
        {"server:0", "[server:0]"},           // port must begin with 1 to 9
        {"server:0443", "[server:0443]"},
        {"10.0.0.1:0", "[10.0.0.1:0]"},
        {"-bad.example.com", "[-bad.example.com]"},
        {"server\n", "[server\n]"},           // the match must end at the last character
    };
    for (const Case& c : cases) EXPECT_EQ(normalizeServerAddress(c.address), c.result) << "'" << c.address << "'";
}

// Client ids and path prefixes go into request lines as they are: nothing
// that could end the line, start a query or fragment, split or climb the path.
TEST(SafePathSegment, Table) {
    const std::pair<std::string, bool> cases[] = {
        {"client-7", true},
        {"4f9c2d1e-8a7b-4c3d-9e2f-1a2b3c4d5e6f", true},
        {"a.b_c~d:e@f!$&'()*+,;=", true},
        {"desk\xc3\xa9", true},                 // UTF-8 letters pass
        {"...", true},
        {std::string(MAX_PATH_SEGMENT_LENGTH, 'x'), true},
        {std::string(MAX_PATH_SEGMENT_LENGTH + 1, 'x'), false},
        {"", false},
        {".", false},
        {"..", false},
        {"id\r\nX-Injected: 1", false},
        {"id\r", false},
        {"id\n", false},
        {std::string("id\0x", 4), false},
        {"id\tx", false},
        {"id\x7f", false},
        {"id x", false},
        {"id?x=1", false},
        {"id#top", false},
        {"a/b", false},
        {"a\\b", false},
        {"id%0D%0A", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isSafePathSegment(c.first), c.second) << "'" << c.first << "'";
}

TEST(ParseBool, Table) {
    LogCapture capture;
    struct Case {
        const char* text;
        bool defaultValue;
        bool result;
        const char* warning; // nullptr: no line
    } cases[] = {
        {"1", false, true, nullptr},
        {"TRUE", false, true, nullptr},
        {"On", false, true, nullptr},
        {"0", true, false, nullptr},
        {"FALSE", true, false, nullptr},
        {"off", true, false, nullptr},
        {"", true, true, nullptr},
        {"", false, false, nullptr},
        {"yes", false, false, "Can't parse boolean value 'yes'.  Using default value: 'false'"},
        {"2", true, true, "Can't parse boolean value '2'.  Using default value: 'true'"},
        {" true", false, false, "Can't parse boolean value ' true'.  Using default value: 'false'"},
    };
    for (const Case& c : cases) {
        capture.clear();
        EXPECT_EQ(parseBool(c.text, c.defaultValue), c.result) << "'" << c.text << "'";
        const std::vector<CapturedLine> lines = capture.lines();
        if (c.warning) {
            ASSERT_EQ(lines.size(), 1u) << c.text;
            EXPECT_EQ(lines[0].text, c.warning);
            EXPECT_EQ(lines[0].priority, Poco::Message::PRIO_WARNING);
        } else {
            EXPECT_TRUE(lines.empty()) << "'" << c.text << "'";
        }
    }
}

TEST(ParseVersion, MajorMinor) {
    struct Case {
        const char* text;
        bool ok;
        int major;
        int minor;
    } cases[] = {
        {"14.0", true, 14, 0},
        {"4.3", true, 4, 3},
        {"14", false, -1, -1},
        {"4", false, -1, -1},
        {".5", false, -1, -1},       // the dot search starts at the second character
        {"x.3", false, -1, 3},       // a bad major number leaves the minor number set
        {"4.x", false, -1, -1},
        {"4.3.1", false, -1, -1},
        {"1,000.2", true, 1000, 2},  // thousands separator of the number parser
    };
    for (const Case& c : cases) {
        int major = 99, minor = 99;
        EXPECT_EQ(parseMajorMinor(c.text, major, minor), c.ok) << c.text;
        EXPECT_EQ(major, c.major) << c.text;
        EXPECT_EQ(minor, c.minor) << c.text;
    }
}

TEST(ParseVersion, MajorMinorPatch) {
    struct Case {
        const char* text;
        bool ok;
        int major;
        int minor;
        int patch;
    } cases[] = {
        {"14.0.0", true, 14, 0, 0},
        {"14.0", true, 14, 0, -1},
        {"4.3.12", true, 4, 3, 12},
        {"4", false, -1, -1, -1},
        {".4.3", false, -1, -1, -1},
        {"4.x.1", false, 4, -1, -1},
        {"4.3.x", false, 4, 3, -1},
        {"4..1", false, 4, -1, -1},
    };
    for (const Case& c : cases) {
        int major = 99, minor = 99, patch = 99;
        EXPECT_EQ(parseMajorMinorPatch(c.text, major, minor, patch), c.ok) << c.text;
        EXPECT_EQ(major, c.major) << c.text;
        EXPECT_EQ(minor, c.minor) << c.text;
        EXPECT_EQ(patch, c.patch) << c.text;
    }
}

TEST(SystemErrorText, KnownAndUnknownCodes) {
    struct Case {
        unsigned int code;
        std::string text;
    } cases[] = {
        {ENOENT, std::to_string(ENOENT) + ", \"" + std::strerror(ENOENT) + "\""},
        {EACCES, std::to_string(EACCES) + ", \"" + std::strerror(EACCES) + "\""},
        {987654u, "987654"},
        {4000000000u, "4000000000"},     // printed unsigned
    };
    for (const Case& c : cases) EXPECT_EQ(windowsErrorText(c.code), c.text) << c.code;
    EXPECT_EQ(windowsErrorText(ENOENT), "2, \"No such file or directory\"");
}

// A program started through PATH gets a bare name as argv[0]: its directory
// is still the one that holds the program file, not the working directory.
TEST(ApplicationDirectory, IsTheProgramFilesDirectoryWhateverTheNameAndIsCached) {
    TempDir dir;
    ASSERT_TRUE(changeDirectory(dir.path()));
    EXPECT_EQ(applicationDirectory(nullptr), "");   // nothing cached yet
    const std::string programDir = applicationDirectory("foundation_tests");
    EXPECT_NE(programDir, Poco::Path::current());
    ASSERT_EQ(programDir.back(), '/');
    EXPECT_TRUE(Poco::Path(programDir).isAbsolute()) << programDir;
    EXPECT_TRUE(Poco::File(programDir + "foundation_tests").isFile()) << programDir;
    EXPECT_EQ(applicationDirectory("/somewhere/else/prog"), programDir);
    EXPECT_EQ(applicationDirectory(nullptr), programDir);
    EXPECT_TRUE(changeDirectory("/"));
    EXPECT_FALSE(changeDirectory(dir.file("missing")));
}

TEST(StartupBanner, BuildInfoAndPlatformLines) {
    LogCapture capture("trace");
    logStartupBanner();
    const std::vector<CapturedLine> lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].priority, Poco::Message::PRIO_TRACE);
    EXPECT_EQ(lines[0].text, buildInfoText());
    EXPECT_EQ(lines[1].priority, Poco::Message::PRIO_DEBUG);
    EXPECT_EQ(lines[1].text, "Started on '" + getOSPlatform() + "'");

    const std::string info = buildInfoText();
    EXPECT_NE(info.find(", __cplusplus 2017"), std::string::npos) << info;
    EXPECT_NE(info.find(", poco 1."), std::string::npos) << info;
    EXPECT_NE(info.find(", openssl 0x3"), std::string::npos) << info;
    EXPECT_NE(info.find("\nBuild: "), std::string::npos) << info;
    EXPECT_FALSE(getOSPlatform().empty());
    EXPECT_FALSE(buildPlatformText().empty());
    EXPECT_EQ(getClientVersion(), "14.0.0");
}

TEST(StartupBanner, ConfComponentPromotesToInformation) {
    LogCapture capture("information");
    debugComponentMask = LogComponentMask::CONF;
    logStartupBanner();
    debugComponentMask = 0;
    const std::vector<CapturedLine> lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, Poco::Message::PRIO_INFORMATION);
    EXPECT_EQ(lines[0].text, "CONF:Started on '" + getOSPlatform() + "'");
}

TEST(MonotonicMillis, NeverGoesBack) {
    const std::int64_t first = monotonicMillis();
    EXPECT_GT(first, 0);
    EXPECT_GE(monotonicMillis(), first);
}
