// Writes pictures of the main window and the About box in each interface language, for the
// README and for a look at whether every translation fits:
//   cmake --build build --target screenshots && build/tests/screenshots [FOLDER]
#include <QApplication>
#include <QFont>
#include <QPixmap>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ui/UiSession.h"

int main(int argc, char** argv) {
  if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  QApplication app(argc, argv);
  // The font the window tests measure with, so the pictures show what they check.
  QApplication::setFont(QFont(QStringLiteral("DejaVu Sans"), 9));
  const std::string folder = argc > 1 ? argv[1] : ".";
  const char* const codes[] = {"ru", "en", "be", "sr"};
  int failures = 0;
  auto save = [&](const QPixmap& picture, const std::string& file) {
    if (picture.save(QString::fromStdString(file), "PNG")) {
      std::printf("%s\n", file.c_str());
    } else {
      std::fprintf(stderr, "screenshots: cannot write %s\n", file.c_str());
      ++failures;
    }
  };
  for (int l = 0; l < 4; ++l) {
    Session s(HiveWith(LanguageValue(l)));
    s.Show();
    // The statistics as the running window shows them after its first refresh.
    s.Form->Timer1Timer();
    QCoreApplication::processEvents();
    save(s.Form->grab(), folder + "/main-window-" + codes[l] + ".png");
    ::AboutBox->show();
    QCoreApplication::processEvents();
    save(::AboutBox->grab(), folder + "/about-" + codes[l] + ".png");
    ::AboutBox->hide();
  }
  return failures == 0 ? 0 : 1;
}
