// The texts put into page scripts: every text comes back unchanged from a
// JSON parser, and the scripts have the shapes the page expects.
#include "PageFormScripts.h"

#include <Poco/JSON/Array.h>
#include <Poco/JSON/Parser.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct EscapeCase {
    std::string text;
    std::string escaped;
};

const EscapeCase escapeCases[] = {
    {"plain", "plain"},
    {"it's", "it\\u0027s"},
    {"say \"hi\"", "say \\\"hi\\\""},
    {"back\\slash", "back\\\\slash"},
    {"two\nlines\r\n", "two\\nlines\\r\\n"},
    {"tab\tbell\x07", "tab\\tbell\\u0007"},
    {"\xC3\xBC\xE2\x82\xAC", "\xC3\xBC\xE2\x82\xAC"},
    {"sep\xE2\x80\xA8par\xE2\x80\xA9", "sep\\u2028par\\u2029"},
    {"</script>", "</script>"},
    {"", ""},
};

std::string parsedBack(const std::string& literal) {
    Poco::JSON::Parser parser;
    const Poco::Dynamic::Var result = parser.parse("[" + literal + "]");
    return result.extract<Poco::JSON::Array::Ptr>()->getElement<std::string>(0);
}

} // namespace

TEST(PageFormScripts, TextsSurviveAsJsonStringLiterals) {
    for (const EscapeCase& c : escapeCases) {
        EXPECT_EQ(escapeForJsString(c.text), c.escaped) << c.text;
        EXPECT_EQ(jsStringLiteral(c.text), "\"" + c.escaped + "\"");
        EXPECT_EQ(parsedBack(jsStringLiteral(c.text)), c.text) << c.text;
    }
}

TEST(PageFormScripts, ScriptsTestTheElementAndFocusOnlyWithANextElement) {
    EXPECT_EQ(inputValueByIdScript("user", "it's", ""),
              "if (document.getElementById(\"user\")) { document.getElementById(\"user\").value = \"it\\u0027s\";}");
    EXPECT_EQ(inputValueByIdScript("user", "bob", "password"),
              "if (document.getElementById(\"user\")) { document.getElementById(\"user\").value = \"bob\";"
              "  document.getElementById(\"password\").focus();}");
    EXPECT_EQ(inputValueByNameScript("user", "bob", "password"),
              "if (document.getElementsByName(\"user\").length > 0) { document.getElementsByName(\"user\")[0].value = "
              "\"bob\";  document.getElementsByName(\"password\")[0].focus();}");
    EXPECT_EQ(clickElementByIdScript("go"),
              "if (document.getElementById(\"go\")) { document.getElementById(\"go\").click(); }");
    EXPECT_EQ(clickElementByNameScript("submit"),
              "if (document.getElementsByName(\"submit\").length > 0) { "
              "document.getElementsByName(\"submit\")[0].click(); }");
}
