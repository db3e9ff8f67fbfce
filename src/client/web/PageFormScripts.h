// The texts of the small scripts with which the client fills and submits
// forms in a page: set an input's value (and move the focus on), click an
// element, found by id or by name. Every id, name and value goes into the
// script as a JSON string literal, so quotes, backslashes, line breaks and
// non-ASCII characters reach the page unchanged.
#pragma once

#include <string>

// The UTF-8 text escaped for use between the quotes of a JavaScript or JSON
// string literal (either quote character): backslash, both quotes, control
// characters and the line separators U+2028/U+2029 become escapes.
std::string escapeForJsString(const std::string& text);
// The UTF-8 text as a double-quoted JSON string literal, valid JavaScript.
std::string jsStringLiteral(const std::string& text);

// Sets the value of the element with the id and, when next is not empty,
// focuses the element with the id next. Does nothing without the element.
std::string inputValueByIdScript(const std::string& id, const std::string& value, const std::string& next);
// The same for the first element that carries the name.
std::string inputValueByNameScript(const std::string& name, const std::string& value, const std::string& next);
std::string clickElementByIdScript(const std::string& id);
std::string clickElementByNameScript(const std::string& name);
