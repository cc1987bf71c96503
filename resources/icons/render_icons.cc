// Build tool: writes the tray badge as the PNG icons of the hicolor theme,
// so that the application menu shows the same "K" as the tray; with a
// second argument, also a picture of the tray icon's three states on a light
// and on a dark panel (for the README).
// Usage: render_icons OUTPUT_DIR [STATES_PNG]
//   (writes OUTPUT_DIR/<size>x<size>/apps/kestrond-monitor.png)
#include <QDir>
#include <QGuiApplication>
#include <QPainter>
#include <cstdio>

#include "Badge.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: render_icons OUTPUT_DIR [STATES_PNG]\n");
    return 2;
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication application(argc, argv);
  for (int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
    QString directory =
        QStringLiteral("%1/%2x%2/apps").arg(QString::fromLocal8Bit(argv[1])).arg(size);
    QDir().mkpath(directory);
    QImage image = kestrond::badgeImage("K", size);
    if (!image.save(directory + QStringLiteral("/kestrond-monitor.png"))) {
      std::fprintf(stderr, "render_icons: cannot write %s\n", qPrintable(directory));
      return 1;
    }
  }
  if (argc == 3) {
    // Each state at a panel's 24 px and at 48 px, on a light and a dark strip.
    const kestrond::StatusMark marks[] = {kestrond::StatusMark::None, kestrond::StatusMark::Running,
                                          kestrond::StatusMark::Changing};
    QImage picture(3 * 96, 2 * 64, QImage::Format_ARGB32);
    QPainter painter(&picture);
    for (int row = 0; row < 2; ++row) {
      painter.fillRect(0, row * 64, picture.width(), 64,
                       row == 0 ? QColor(0xee, 0xee, 0xee) : QColor(0x2b, 0x2b, 0x2b));
      for (int column = 0; column < 3; ++column) {
        int x = column * 96;
        painter.drawImage(x + 8, row * 64 + 20, kestrond::badgeImage("K", 24, marks[column]));
        painter.drawImage(x + 40, row * 64 + 8, kestrond::badgeImage("K", 48, marks[column]));
      }
    }
    painter.end();
    if (!picture.save(QString::fromLocal8Bit(argv[2]))) {
      std::fprintf(stderr, "render_icons: cannot write %s\n", argv[2]);
      return 1;
    }
  }
  return 0;
}
