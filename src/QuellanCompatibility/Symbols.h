#pragma once
// The window's three symbols, our own small drawings, rendered at any size.

#include <QPixmap>
#include <string>

namespace quellan {

// `name` is "moon.zzz.fill", "checkmark.circle.fill" or "person.badge.key"; an unknown
// name gives an empty pixmap. `size` is in device-independent pixels.
QPixmap symbolPixmap(const std::string& name, int size, qreal devicePixelRatio = 1.0);

}  // namespace quellan
