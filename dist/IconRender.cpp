// Build-time helper: writes the program's own icon as PNG files, one per size, for the
// desktop's hicolor icon theme.
// Usage: icon_render OUTPUT_FOLDER NAME SIZE...  (writes OUTPUT_FOLDER/SIZExSIZE/apps/NAME.png)
#include <QDir>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <vector>

// The drawing routine is private to that file; including it draws exactly what the program
// shows, without a second copy of the artwork.
#include "ui/Icons.cpp"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: icon_render OUTPUT_FOLDER NAME SIZE...\n");
    return 2;
  }
  // A build machine may have no display.
  static char platform[] = "-platform";
  static char offscreen[] = "offscreen";
  std::vector<char*> qtArgs{argv[0], platform, offscreen, nullptr};
  int qtArgc = 3;
  QGuiApplication app(qtArgc, qtArgs.data());
  const QString folder = QString::fromLocal8Bit(argv[1]);
  const QString name = QString::fromLocal8Bit(argv[2]);
  for (int i = 3; i < argc; ++i) {
    const int size = std::atoi(argv[i]);
    const QString dir = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
    if (size <= 0 || !QDir().mkpath(dir) ||
        !DrawGlobe(size).save(dir + QLatin1Char('/') + name + QStringLiteral(".png"))) {
      std::fprintf(stderr, "icon_render: cannot write the %s icon\n", argv[i]);
      return 1;
    }
  }
  return 0;
}
