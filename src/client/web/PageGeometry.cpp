#include "PageGeometry.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace PageGeometry {

namespace {

QJsonObject objectOf(const QString& json, bool& ok) {
    const QJsonDocument document = QJsonDocument::fromJson(json.toUtf8());
    ok = document.isObject();
    return document.object();
}

int roundAway(double value) { return static_cast<int>(std::lround(value)); }

} // namespace

QRect canvasViewport(const QString& json, double zoom, int canvasHeight) {
    bool ok = false;
    const QJsonObject rect = objectOf(json, ok);
    if (!ok) return QRect(0, canvasHeight, 0, 0);
    const int x = roundAway(zoom * rect.value("left").toDouble());
    const int bottom = roundAway(zoom * rect.value("bottom").toDouble());
    const int width = roundAway(zoom * rect.value("width").toDouble());
    const int height = roundAway(zoom * rect.value("height").toDouble());
    return QRect(x, canvasHeight - bottom, width, height);
}

QSize scaledScrollSize(const QString& json, double zoom) {
    bool ok = false;
    const QJsonObject size = objectOf(json, ok);
    const int width = static_cast<int>(zoom * size.value("scrollWidth").toInt());
    const int height = static_cast<int>(zoom * size.value("scrollHeight").toInt());
    return QSize(width, height);
}

double fitZoom(const QSize& screen, const QSize& frame) {
    const double inf = std::numeric_limits<double>::infinity();
    const double rw = frame.width() > 0 ? double(screen.width()) / frame.width() : inf;
    const double rh = frame.height() > 0 ? double(screen.height()) / frame.height() : inf;
    if (rw < 1.0 || rh < 1.0) return std::min(rw, rh);
    return 1.0;
}

AutoresizePlan planAutoresize(const QSize& content, const QSize& screen, const QSize& current, const QSize& before) {
    AutoresizePlan plan;
    constexpr int margin = 40;
    if (content.width() + margin > screen.width() && content.height() + margin > screen.height()) {
        plan.maximise = true;
        plan.size = before;
        return plan;
    }
    QSize size(std::min(content.width(), screen.width()), std::min(content.height(), screen.height()));
    if (std::abs(size.width() - current.width()) <= 1 && std::abs(size.height() - current.height()) <= 1) size = before;
    plan.size = size;
    return plan;
}

bool backgroundColour(const QString& json, QColor& colour) {
    bool ok = false;
    const QJsonObject object = objectOf(json, ok);
    if (!ok || !object.contains("red") || !object.contains("green") || !object.contains("blue")) return false;
    const int red = object.value("red").toInt(-1);
    const int green = object.value("green").toInt(-1);
    const int blue = object.value("blue").toInt(-1);
    auto inRange = [](int value) { return value >= 0 && value <= 255; };
    if (!inRange(red) || !inRange(green) || !inRange(blue)) return false;
    QColor result(red, green, blue, 255);
    if (object.contains("alpha")) result.setAlphaF(std::clamp(object.value("alpha").toDouble(), 0.0, 1.0));
    colour = result;
    return true;
}

} // namespace PageGeometry
