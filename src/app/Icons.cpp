#include "app/Icons.h"

#include <array>

// Outside the namespace: the macro declares a global function. Static libraries do not
// register their resources by themselves.
static void registerResources() { Q_INIT_RESOURCE(varnley); }

namespace varnley {

namespace {

struct ImageName {
  const char* theme;
  const char* fallback;
};

constexpr std::array<ImageName, kImageCount> kImages = {{
    {"list-add", ":/icons/0-add.png"},
    {"document-edit", ":/icons/1-edit.png"},
    {"list-remove", ":/icons/2-remove.png"},
    {"preferences-system", ":/icons/3-settings.png"},
    {"mail-send", ":/icons/4-mail.png"},
    {"media-playback-start", ":/icons/5-start.png"},
    {"media-playback-stop", ":/icons/6-stop.png"},
    {"view-refresh", ":/icons/7-refresh.png"},
    {"help-about", ":/icons/8-about.png"},
    {"application-exit", ":/icons/9-exit.png"},
    {"dialog-warning", ":/icons/10-warning.png"},
}};

void ensureResources() {
  static const bool registered = (registerResources(), true);
  (void)registered;
}

}  // namespace

QIcon ImageListIcon(int index) {
  if (index < 0 || index >= kImageCount) return {};
  ensureResources();
  const auto& image = kImages[static_cast<std::size_t>(index)];
  return QIcon::fromTheme(QLatin1String(image.theme), QIcon(QLatin1String(image.fallback)));
}

QIcon ApplicationIcon() {
  ensureResources();
  return QIcon(QStringLiteral(":/icons/varnley.png"));
}

QIcon TrayStateIcon(TrayState state) {
  ensureResources();
  switch (state) {
    case TrayState::Monitoring:
      return QIcon(QStringLiteral(":/icons/varnley-monitoring.png"));
    case TrayState::Down:
      return QIcon(QStringLiteral(":/icons/varnley-down.png"));
    case TrayState::Idle:
      break;
  }
  return ApplicationIcon();
}

}  // namespace varnley
