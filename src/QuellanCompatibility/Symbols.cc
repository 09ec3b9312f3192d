#include "QuellanCompatibility/Symbols.h"

#include <QPainter>
#include <QSvgRenderer>
#include <map>

namespace quellan {
namespace {

// A crescent (the rim of one circle less another) with two letters Z above it.
constexpr const char* kMoon = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32">
  <path fill="#1f6fe5" d="M12.91 7.05 A11 11 0 1 0 24.95 19.09 A9 9 0 0 1 12.91 7.05 Z"/>
  <path fill="none" stroke="#1f6fe5" stroke-width="1.8" stroke-linecap="round"
        stroke-linejoin="round" d="M21 2.5 h5 l-5 5.5 h5"/>
  <path fill="none" stroke="#1f6fe5" stroke-width="1.5" stroke-linecap="round"
        stroke-linejoin="round" d="M27.5 10 h3.2 l-3.2 3.6 h3.2"/>
</svg>)";

// A filled disc with the tick cut out in white.
constexpr const char* kCheckmark = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32">
  <circle cx="16" cy="16" r="14" fill="#2fa84f"/>
  <path fill="none" stroke="#ffffff" stroke-width="3.2" stroke-linecap="round"
        stroke-linejoin="round" d="M9.5 16.5 l4.5 4.5 l8.5 -9"/>
</svg>)";

// A head and shoulders, with a small key at the lower right.
constexpr const char* kPersonKey = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32">
  <circle cx="12" cy="9" r="5.5" fill="#e08a1e"/>
  <path fill="#e08a1e" d="M2 27 C2 19.5 6.5 16.5 12 16.5 C15 16.5 17.5 17.4 19.2 19 L16 27 Z"/>
  <circle cx="22.5" cy="21.5" r="4" fill="none" stroke="#e08a1e" stroke-width="2.2"/>
  <path fill="none" stroke="#e08a1e" stroke-width="2.2" stroke-linecap="round"
        d="M25.3 24.3 L30 29 M27.8 26.8 L29.6 25 M29.2 28.2 L30.8 26.6"/>
</svg>)";

}  // namespace

QPixmap symbolPixmap(const std::string& name, int size, qreal devicePixelRatio) {
  static const std::map<std::string, const char*> symbols{
      {"moon.zzz.fill", kMoon},
      {"checkmark.circle.fill", kCheckmark},
      {"person.badge.key", kPersonKey},
  };
  auto found = symbols.find(name);
  if (found == symbols.end()) return {};
  QSvgRenderer renderer(QByteArray(found->second));
  int pixels = qRound(size * devicePixelRatio);
  QPixmap pixmap(pixels, pixels);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  renderer.render(&painter);
  painter.end();
  pixmap.setDevicePixelRatio(devicePixelRatio);
  return pixmap;
}

}  // namespace quellan
