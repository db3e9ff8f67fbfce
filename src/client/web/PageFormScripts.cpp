#include "PageFormScripts.h"

#include <cstdio>

std::string escapeForJsString(const std::string& text) {
    std::string out;
    out.reserve(text.size() + text.size() / 8 + 2);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\'': out += "\\u0027"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04x", c);
                out += escape;
            } else if (c == 0xE2 && i + 2 < text.size() && static_cast<unsigned char>(text[i + 1]) == 0x80 &&
                       (static_cast<unsigned char>(text[i + 2]) == 0xA8 ||
                        static_cast<unsigned char>(text[i + 2]) == 0xA9)) {
                // U+2028 and U+2029 end a line inside older JavaScript literals.
                out += static_cast<unsigned char>(text[i + 2]) == 0xA8 ? "\\u2028" : "\\u2029";
                i += 2;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

std::string jsStringLiteral(const std::string& text) { return "\"" + escapeForJsString(text) + "\""; }

namespace {

std::string byId(const std::string& id) { return "document.getElementById(" + jsStringLiteral(id) + ")"; }
std::string byName(const std::string& name) { return "document.getElementsByName(" + jsStringLiteral(name) + ")"; }

} // namespace

std::string inputValueByIdScript(const std::string& id, const std::string& value, const std::string& next) {
    std::string script = "if (" + byId(id) + ") { " + byId(id) + ".value = " + jsStringLiteral(value) + ";";
    if (!next.empty()) script += "  " + byId(next) + ".focus();";
    return script + "}";
}

std::string inputValueByNameScript(const std::string& name, const std::string& value, const std::string& next) {
    std::string script =
        "if (" + byName(name) + ".length > 0) { " + byName(name) + "[0].value = " + jsStringLiteral(value) + ";";
    if (!next.empty()) script += "  " + byName(next) + "[0].focus();";
    return script + "}";
}

std::string clickElementByIdScript(const std::string& id) {
    return "if (" + byId(id) + ") { " + byId(id) + ".click(); }";
}

std::string clickElementByNameScript(const std::string& name) {
    return "if (" + byName(name) + ".length > 0) { " + byName(name) + "[0].click(); }";
}
