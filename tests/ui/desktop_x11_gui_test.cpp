// The windows on a real X server with a window manager (openbox) and, late, a notification area
// (trayer), as a user sees them: captions read back from the window properties the window
// manager shows, the options dialog's size as framed, the standard buttons in the desktop's
// language, a hidden start that waits for the tray, and pictures of every window in every
// interface language.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QWindow>
#include <algorithm>
#include <functional>
#include <string>

#include "app/QtDialogs.h"
#include "options/OptionsTexts.h"
#include "ui/Traycomp.h"
#include "ui/UiSession.h"
#include "ui/X11Session.h"

namespace {

XServer gXServer;

struct WindowManager {
  pid_t Pid = gXServer.Ready ? Spawn("openbox", {"--sm-disable"}) : -1;
  ~WindowManager() { Stop(Pid); }
};
WindowManager gWindowManager;

// As the program entry sets the application up on a display.
void SetUpAsTheProgramDoes() {
  static bool done = false;
  if (done) return;
  done = true;
  QApplication::setApplicationDisplayName(QStringLiteral("Vyn Brevoxa"));
  QApplication::setApplicationName(QStringLiteral("Vyn Brevoxa"));
  InstallQtDialogs();
}

void ExpectDesktop() {
  ASSERT_TRUE(gXServer.Ready) << "Xvfb did not start";
  ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
  ASSERT_TRUE(QTest::qWaitFor([] { return WindowManagerRunning(); }, 5000))
      << "openbox did not start";
  SetUpAsTheProgramDoes();
}

// The window manager has taken the window: it is framed and on screen.
bool Framed(QWidget* w) {
  return QTest::qWaitFor(
      [w] {
        return w->windowHandle() && w->windowHandle()->isExposed() &&
               XProperty(static_cast<xcb_window_t>(w->winId()), "_NET_FRAME_EXTENTS").Found;
      },
      3000);
}

// open() runs a modal window; inspect() sees it once it is framed, then it is cancelled.
void WhileModal(const std::function<void()>& open, const std::function<void(QWidget*)>& inspect) {
  bool seen = false;
  QTimer poll;
  poll.setInterval(10);
  QObject::connect(&poll, &QTimer::timeout, [&] {
    QWidget* w = QApplication::activeModalWidget();
    if (seen || !w || !w->isVisible()) return;
    seen = true;
    poll.stop();
    EXPECT_TRUE(Framed(w));
    inspect(w);
    if (auto* d = qobject_cast<QDialog*>(w)) d->reject();
  });
  poll.start();
  open();
  EXPECT_TRUE(seen) << "no modal window came up";
}

// The caption as the window manager reads it from both title properties.
void ExpectCaption(QWidget* w, const std::string& caption) {
  const auto id = static_cast<xcb_window_t>(w->winId());
  const XPropertyValue netName = XProperty(id, "_NET_WM_NAME");
  const XPropertyValue name = XProperty(id, "WM_NAME");
  EXPECT_TRUE(netName.Found);
  EXPECT_EQ(netName.Bytes, caption) << "_NET_WM_NAME";
  EXPECT_TRUE(name.Found);
  EXPECT_EQ(name.Bytes, caption) << "WM_NAME";
}

std::string ButtonText(QWidget* box, QDialogButtonBox::StandardButton which) {
  if (auto* m = qobject_cast<QMessageBox*>(box))
    return m->button(static_cast<QMessageBox::StandardButton>(which))->text().toStdString();
  auto* buttons = box->findChild<QDialogButtonBox*>();
  return buttons && buttons->button(which) ? buttons->button(which)->text().toStdString() : "";
}

// First, before any notification area exists: a hidden start (autostart at login) waits
// minimised in the task bar and moves into the tray once it appears.
TEST(DesktopOnX11, HiddenStartWaitsInTheTaskBarForALateTray) {
  ExpectDesktop();
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  Session s(HiveWith("\"HOS\"=dword:00000001"));
  s.Show();
  TForm1& f = *s.Form;
  ASSERT_TRUE(QTest::qWaitFor([&] { return f.TrayComp1->Minimized(); }, 3000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.isMinimized(); }, 3000));
  EXPECT_TRUE(f.isVisible()) << "the task bar button is the only way back";

  Trayer trayer;
  EXPECT_TRUE(QTest::qWaitFor([&] { return !f.isVisible(); }, 15000)) << "still in the task bar";
  EXPECT_TRUE(f.TrayComp1->TrayIcon()->isVisible());
  EXPECT_TRUE(f.TrayComp1->Minimized());
  f.Restore->trigger();
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.isVisible() && !f.isMinimized(); }, 3000));
  EXPECT_TRUE(s.Boxes.empty());
}

TEST(DesktopOnX11, CaptionsAreExactlyTheWindowsOwn) {
  ExpectDesktop();
  Session s;
  s.Show();
  ASSERT_TRUE(Framed(s.Form.get()));
  ExpectCaption(s.Form.get(), "Vyn Brevoxa");
  WhileModal([&] { s.Form->OptionsButton->click(); },
             [](QWidget* w) { ExpectCaption(w, "Server options"); });
  WhileModal([&] { s.Form->AboutBtn->click(); },
             [](QWidget* w) { ExpectCaption(w, "About program"); });
  // The session answers the program's boxes; the box it replaced is the real one.
  WhileModal(
      [&] { s.OldHandler("Specified path must exist!", "WRONG ROOT PATH", mtWarning, mbOK); },
      [](QWidget* w) { ExpectCaption(w, "WRONG ROOT PATH"); });
  // The question about a variable name is captioned with the name, which may be empty.
  WhileModal([&] { s.OldHandler("Apply anyway?", "", mtConfirmation, mbYesNo); },
             [](QWidget* w) { ExpectCaption(w, ""); });
  std::string value;
  WhileModal([&] { InputQuery("Adding an IP range", "Specify IP address mask:", value); },
             [](QWidget* w) { ExpectCaption(w, "Adding an IP range"); });
}

TEST(DesktopOnX11, OptionsDialogOpensAtItsDesignSizeAndCannotChangeIt) {
  ExpectDesktop();
  Session s;
  s.Show();
  ASSERT_TRUE(Framed(s.Form.get()));
  // Sizes the dialog takes once its window is on the screen: any of them would be a visible jump.
  std::vector<QSize> jumps;
  struct TResizes : QObject {
    std::vector<QSize>* Sizes = nullptr;
    bool eventFilter(QObject* watched, QEvent* e) override {
      auto* w = static_cast<QWidget*>(watched);
      if (e->type() == QEvent::Resize && w->windowHandle() && w->windowHandle()->isVisible())
        Sizes->push_back(static_cast<QResizeEvent*>(e)->size());
      return false;
    }
  } resizes;
  resizes.Sizes = &jumps;
  ::OptionsForm->installEventFilter(&resizes);
  for (int opening = 0; opening < 2; ++opening) {
    SCOPED_TRACE(opening == 0 ? "first opening" : "second opening");
    WhileModal(
        [&] { s.Form->OptionsButton->click(); },
        [&](QWidget* w) {
          QTest::qWait(200);  // time for a late correction, were there one
          EXPECT_EQ(w->frameGeometry().size(), QSize(549, 429));
          const auto id = static_cast<xcb_window_t>(w->winId());
          const std::vector<std::string> allowed = XAtomList(id, "_NET_WM_ALLOWED_ACTIONS");
          EXPECT_FALSE(allowed.empty());
          for (const char* action : {"_NET_WM_ACTION_MAXIMIZE_HORZ", "_NET_WM_ACTION_MAXIMIZE_VERT",
                                     "_NET_WM_ACTION_RESIZE"})
            EXPECT_EQ(std::count(allowed.begin(), allowed.end(), action), 0) << action;
        });
    EXPECT_TRUE(jumps.empty()) << jumps.front().width() << "x" << jumps.front().height();
    jumps.clear();
  }
  ::OptionsForm->removeEventFilter(&resizes);
}

TEST(DesktopOnX11, StandardButtonsSpeakTheDesktopLanguage) {
  ExpectDesktop();
  Session s(HiveWith(LanguageValue(0)));
  s.Show();
  const struct {
    QLocale Locale;
    bool Translated;
    const char *Yes, *No, *Cancel;
  } cases[] = {
      {QLocale(QLocale::Russian, QLocale::Russia), true, "&Да", "&Нет", "Отмена"},
      {QLocale(QLocale::German, QLocale::Germany), true, "&Ja", "&Nein", "Abbrechen"},
      {QLocale(QLocale::Esperanto), false, "&Yes", "&No", "Cancel"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Locale.name().toStdString());
    EXPECT_EQ(LoadQtTranslations(c.Locale), c.Translated);
    WhileModal([&] { s.OldHandler("Apply anyway?", "HTTP", mtConfirmation, mbYesNo); },
               [&](QWidget* w) {
                 EXPECT_EQ(ButtonText(w, QDialogButtonBox::Yes), c.Yes);
                 EXPECT_EQ(ButtonText(w, QDialogButtonBox::No), c.No);
               });
    std::string value;
    WhileModal([&] { InputQuery("Adding an IP range", "Specify IP address mask:", value); },
               [&](QWidget* w) { EXPECT_EQ(ButtonText(w, QDialogButtonBox::Cancel), c.Cancel); });
    // The program's own texts stay as they are.
    EXPECT_EQ(::OptionsForm->OKButton->text().toStdString(), "ДА");
  }
  LoadQtTranslations(QLocale::c());
}

TEST(DesktopOnX11, MainWindowKeyboardOrderFollowsTheLayout) {
  ExpectDesktop();
  Session s;
  s.Show();
  TForm1& f = *s.Form;
  f.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&f));
  f.LangComboBox->setFocus();
  std::vector<QWidget*> seen = {QApplication::focusWidget()};
  for (int i = 0; i < 4; ++i) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    seen.push_back(QApplication::focusWidget());
  }
  const std::vector<QWidget*> expected = {f.LangComboBox, f.OptionsButton, f.AboutBtn, f.HideButton,
                                          f.LangComboBox};
  EXPECT_EQ(seen, expected);
}

// Pictures of every window in every interface language, for the README and for a look at
// whether every translation fits. Written under the tests' build folder.
TEST(DesktopOnX11, PicturesOfEveryWindowInEveryLanguage) {
  ExpectDesktop();
  const char* const codes[] = {"ru", "en", "be", "sr"};
  const char* const tabs[] = {"main", "logs", "ip-filtering", "cgi", "compatibility"};
  const std::string folder = std::string(TEST_HELPER_DIR) + "/pictures/";
  ASSERT_EQ(system(("mkdir -p '" + folder + "'").c_str()), 0);
  auto save = [&](QWidget* w, const std::string& name) {
    const QString file = QString::fromStdString(folder + name + ".png");
    EXPECT_TRUE(w->grab().save(file, "PNG")) << name;
  };
  for (int l = 0; l < 4; ++l) {
    SCOPED_TRACE(codes[l]);
    // The standard buttons as a user of that language would see them, where Qt has them.
    LoadQtTranslations(QLocale(QString::fromLatin1(codes[l])));
    Session s(HiveWith(LanguageValue(l)));
    // Lists as a user might have them, so that the pictures show what the lists hold.
    s.Form->RC = "/srv/www";
    s.Form->Roots = {"/srv/www", "/home/user/public_html"};
    s.Form->UIPF = true;
    s.Form->WrongIPs = {"192.168.*.*", "10.1.1.0-10.1.3.255"};
    s.Form->CGIAssoc = {"pl,cgi:/usr/bin/perl", "py:/usr/bin/python3"};
    s.Show();
    ASSERT_TRUE(Framed(s.Form.get()));
    s.Form->Timer1Timer();
    QCoreApplication::processEvents();
    save(s.Form.get(), std::string("main-window-") + codes[l]);

    WhileModal([&] { s.Form->OptionsButton->click(); },
               [&](QWidget*) {
                 for (int t = 0; t < 5; ++t) {
                   ::OptionsForm->PageControl1->setCurrentIndex(t);
                   QCoreApplication::processEvents();
                   save(::OptionsForm, std::string("options-") + tabs[t] + "-" + codes[l]);
                 }
                 ::OptionsForm->PageControl1->setCurrentIndex(0);
               });
    WhileModal([&] { s.Form->AboutBtn->click(); },
               [&](QWidget* w) { save(w, std::string("about-") + codes[l]); });
    const TOptionsMessage m = OptionsMessage(TOptionsMsg::NoHttpPrefix, l);
    WhileModal([&] { s.OldHandler(m.Text, "HTTP_", m.Type, m.Buttons); },
               [&](QWidget* w) { save(w, std::string("message-box-") + codes[l]); });

    s.Form->PopupMenu1->popup(s.Form->mapToGlobal(QPoint(40, 40)));
    ASSERT_TRUE(QTest::qWaitForWindowExposed(s.Form->PopupMenu1));
    save(s.Form->PopupMenu1, std::string("tray-menu-") + codes[l]);
    s.Form->PopupMenu1->hide();
  }
  LoadQtTranslations(QLocale::c());
}

}  // namespace
