// Pictures of the main window and the About box in each interface language, for the README and
// for a look at whether every translation fits. Written under the tests' build folder.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QPixmap>
#include <string>

#include "ui/UiSession.h"

namespace {

const char* const kLanguageCodes[] = {"ru", "en", "be", "sr"};

TEST(Screenshot, MainWindowAndAboutBoxInEveryLanguage) {
  for (int l = 0; l < 4; ++l) {
    SCOPED_TRACE(kLanguageCodes[l]);
    Session s(HiveWith(LanguageValue(l)));
    s.Show();
    // The statistics as the running window shows them after its first refresh.
    s.Form->Timer1Timer();
    QCoreApplication::processEvents();
    const std::string base = std::string(TEST_HELPER_DIR) + "/";
    const QPixmap window = s.Form->grab();
    EXPECT_EQ(window.size(), QSize(498, 341) * window.devicePixelRatio());
    const std::string windowFile = base + "main-window-" + kLanguageCodes[l] + ".png";
    EXPECT_TRUE(window.save(QString::fromStdString(windowFile), "PNG"));
    EXPECT_FALSE(QImage(QString::fromStdString(windowFile)).isNull());

    ::AboutBox->show();
    QCoreApplication::processEvents();
    const std::string aboutFile = base + "about-" + kLanguageCodes[l] + ".png";
    EXPECT_TRUE(::AboutBox->grab().save(QString::fromStdString(aboutFile), "PNG"));
    ::AboutBox->hide();
  }
}

}  // namespace
