// Stand-in until the page-script helpers of the sign-in side are part of the
// client: the one place where texts become JavaScript string literals.
#pragma once

#include <QString>

// The text as a double-quoted JSON string literal, which is also a valid
// JavaScript string literal: quotes, backslashes, control characters and the
// two Unicode line separators are escaped.
QString jsonStringLiteral(const QString& text);
