// lumora-render-icon SVG OUTDIR SIZE...: renders the application icon to
// OUTDIR/<size>x<size>/com.lumora.desktop.png for each size, as the icon
// theme layout expects. Used by the build only.

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: lumora-render-icon SVG OUTDIR SIZE...\n");
    return 2;
  }
  QGuiApplication application(argc, argv);
  QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
  if (!renderer.isValid()) {
    std::fprintf(stderr, "lumora-render-icon: %s is not a valid SVG\n", argv[1]);
    return 1;
  }
  const QString outDir = QString::fromLocal8Bit(argv[2]);
  for (int i = 3; i < argc; ++i) {
    bool ok = false;
    const int size = QString::fromLocal8Bit(argv[i]).toInt(&ok);
    if (!ok || size <= 0 || size > 4096) {
      std::fprintf(stderr, "lumora-render-icon: %s is not an icon size\n", argv[i]);
      return 2;
    }
    const QString folder = outDir + QStringLiteral("/%1x%1").arg(size);
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    renderer.render(&painter);
    painter.end();
    if (!QDir().mkpath(folder) ||
        !image.save(folder + QStringLiteral("/com.lumora.desktop.png"), "PNG")) {
      std::fprintf(stderr, "lumora-render-icon: cannot write into %s\n", qPrintable(folder));
      return 1;
    }
  }
  return 0;
}
