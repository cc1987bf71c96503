// The smallest Qt tray program with a menu like the monitor's: the yardstick
// for the desktop figures (bench/desktop_figures.sh, bench/menu_figures.sh).
// Not installed. Usage: minimal_tray [ROWS] (ROWS rows, Quit and a
// separator among them; 9 by default).
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>

#include <cstdlib>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  application.setQuitOnLastWindowClosed(false);
  QPixmap pixmap(22, 22);
  pixmap.fill(Qt::darkBlue);
  QMenu menu;
  int rows = argc > 1 ? std::atoi(argv[1]) : 9;
  for (int i = 0; i < rows - 2; ++i) menu.addAction(QStringLiteral("Entry %1").arg(i));
  menu.addSeparator();
  menu.addAction(QStringLiteral("Quit"), &application, &QApplication::quit);
  QSystemTrayIcon tray{QIcon(pixmap)};
  tray.setToolTip(QStringLiteral("Minimal tray"));
  tray.setContextMenu(&menu);
  tray.show();
  return application.exec();
}
