#include "host/ui/widgets/Icons.h"

#include <QPainter>
#include <QStringList>

static void initLumoraResources() {
  Q_INIT_RESOURCE(lumora);
}

namespace lumora::ui {

namespace {

void ensureResources() {
  static const bool loaded = [] {
    initLumoraResources();
    return true;
  }();
  (void)loaded;
}

QStringList themeNames(Symbol symbol) {
  switch (symbol) {
    case Symbol::CameraAperture:
      return {QStringLiteral("camera-aperture-symbolic"), QStringLiteral("camera-photo-symbolic"),
              QStringLiteral("camera-photo")};
    case Symbol::ClockArrowCirclePath:
      return {QStringLiteral("document-open-recent-symbolic"),
              QStringLiteral("document-open-recent"), QStringLiteral("appointment-recurring")};
    case Symbol::CheckmarkCircleFill:
      return {QStringLiteral("emblem-ok-symbolic"), QStringLiteral("emblem-default-symbolic"),
              QStringLiteral("emblem-default")};
  }
  return {};
}

QString resourcePath(Symbol symbol) {
  switch (symbol) {
    case Symbol::CameraAperture:
      return QStringLiteral(":/lumora/icons/camera-aperture.svg");
    case Symbol::ClockArrowCirclePath:
      return QStringLiteral(":/lumora/icons/clock-arrow-circlepath.svg");
    case Symbol::CheckmarkCircleFill:
      return QStringLiteral(":/lumora/icons/checkmark-circle-fill.svg");
  }
  return {};
}

}  // namespace

QIcon bundledSymbolIcon(Symbol symbol) {
  ensureResources();
  return QIcon(resourcePath(symbol));
}

QIcon symbolIcon(Symbol symbol) {
  for (const QString& name : themeNames(symbol)) {
    if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
  }
  return bundledSymbolIcon(symbol);
}

QIcon appIcon() {
  if (QIcon::hasThemeIcon(QStringLiteral("com.lumora.desktop"))) {
    return QIcon::fromTheme(QStringLiteral("com.lumora.desktop"));
  }
  ensureResources();
  return QIcon(QStringLiteral(":/lumora/icons/app.svg"));
}

QPixmap tinted(const QIcon& icon, int size, const QColor& color, qreal devicePixelRatio) {
  const int device = qRound(size * devicePixelRatio);
  QPixmap source = icon.pixmap(QSize(device, device));
  QPixmap result(device, device);
  result.fill(Qt::transparent);
  QPainter painter(&result);
  painter.drawPixmap(QRect(0, 0, device, device), source);
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(result.rect(), color);
  painter.end();
  result.setDevicePixelRatio(devicePixelRatio);
  return result;
}

}  // namespace lumora::ui
