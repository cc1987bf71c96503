// Build tool: writes the tray badge as the PNG icons of the hicolor theme,
// so that the application menu shows the same "K" as the tray.
// Usage: render_icons OUTPUT_DIR  (writes OUTPUT_DIR/<size>x<size>/apps/...)
#include <QDir>
#include <QGuiApplication>
#include <cstdio>

#include "QtStatusItem.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: render_icons OUTPUT_DIR\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    QString directory =
        QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
    QDir().mkpath(directory);
    QPixmap pixmap = kestrond::QtStatusItem::badgePixmap(QStringLiteral("K"), size);
    if (!pixmap.save(directory + QStringLiteral("/kestrond-monitor.png"))) {
      std::fprintf(stderr, "render_icons: cannot write %s\n", qPrintable(directory));
      return 1;
    }
  }
  return 0;
}
