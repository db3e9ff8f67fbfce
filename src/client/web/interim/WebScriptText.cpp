#include "WebScriptText.h"

QString jsonStringLiteral(const QString& text) {
    QString out;
    out.reserve(text.size() + 2);
    out += '"';
    for (const QChar c : text) {
        const ushort u = c.unicode();
        switch (u) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
            if (u < 0x20 || u == 0x2028 || u == 0x2029) {
                out += QStringLiteral("\\u%1").arg(u, 4, 16, QChar('0'));
            } else {
                out += c;
            }
        }
    }
    out += '"';
    return out;
}
