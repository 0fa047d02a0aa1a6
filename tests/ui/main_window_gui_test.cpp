// The main window's face: start-up language, language choice and its storing, relabelling of
// the three windows, hide and show, the tray component's rules, Exit and the About link.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "options/Unit2.h"
#include "platform/Codec.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"
#include "ui/Languages.h"
#include "ui/Traycomp.h"
#include "ui/UiSession.h"
#include "ui/Unit3.h"

namespace {

// The stored L, or -1 when the hive or the value is missing.
int StoredLanguage(const std::string& hiveText) {
  THive hive;
  if (hiveText.empty() || !THive::Parse(hiveText, hive)) return -1;
  TRegKey* key = hive.FindKey(kSettingsKey);
  if (!key) return -1;
  for (const TRegValue& value : key->Values) {
    if (value.Name == "L" && value.Type == REG_DWORD && value.Data.size() == 4) {
      return static_cast<unsigned char>(value.Data[0]) | static_cast<unsigned char>(value.Data[1])
                                                             << 8;
    }
  }
  return -1;
}

QString Q(const char* utf8) { return QString::fromUtf8(utf8); }

// Texts every language must show, as the product defines them.
struct LanguageCase {
  int L;
  const char* OptionsButton;
  const char* HideButton;
  const char* Statistics;
  const char* Show;
  const char* Exit;
  const char* OptionsCaption;
  const char* OK;
  const char* Cancel;
  const char* AboutCaption;
  const char* Version;
  const char* LanguageItems[4];
};

const LanguageCase kLanguages[] = {
    {0,
     "Настройка...",
     "Спрятать",
     "Статистика:",
     "Показать",
     "Выход",
     "Настройки сервера",
     "ДА",
     "Отмена",
     "О программе",
     "Версия 1.1",
     {"Русский", "Английский", "Белорусский", "Сербский"}},
    {1,
     "Options...",
     "Hide",
     "Statistics:",
     "Show",
     "Exit",
     "Server options",
     "OK",
     "Cancel",
     "About program",
     "Version 1.1",
     {"Russian", "English", "Belorussian", "Serbian"}},
    {2,
     "Налада...",
     "Схаваць",
     "Статыстыка:",
     "Паказаць",
     "Выхад",
     "Настройкі сервера",
     "ДА",
     "адмена",
     "Аб праграме",
     "версія 1.1",
     {"руская", "англійская", "беларускі", "сербская"}},
    {3,
     "постављање...",
     "сакрити",
     "статистика:",
     "Изложба",
     "излаз",
     "Сервер сеттингс",
     "ДА",
     "адмена",
     "абоут",
     "верзија 1.1",
     {"руски", "енглески", "белоруске", "српски"}},
};

TEST(MainWindowLanguage, StartUpAppliesStoredLanguageAndWritesNothing) {
  for (const LanguageCase& c : kLanguages) {
    SCOPED_TRACE(c.L);
    Session s(HiveWith(LanguageValue(c.L)));
    const std::string before = s.Hive();
    s.Show();
    TForm1& f = *s.Form;
    EXPECT_EQ(f.L, c.L);
    EXPECT_EQ(f.LangComboBox->currentIndex(), c.L);
    EXPECT_EQ(f.OptionsButton->text(), Q(c.OptionsButton));
    EXPECT_EQ(f.HideButton->text(), Q(c.HideButton));
    EXPECT_EQ(f.Label2->text(), Q(c.Statistics));
    EXPECT_EQ(f.Restore->text(), Q(c.Show));
    EXPECT_EQ(f.Exit->text(), Q(c.Exit));
    EXPECT_TRUE(f.AboutBtn->toolTip().endsWith(QStringLiteral("Vyn Brevoxa")));
    // Never translated: the label and the language names in the main window.
    EXPECT_EQ(f.Label1->text(), QStringLiteral("Interface language:"));
    EXPECT_TRUE(f.Label1->font().bold());
    EXPECT_TRUE(f.HideButton->font().bold());
    const char* selfNames[] = {"Русский", "English", "Беларускую", "Српски"};
    ASSERT_EQ(f.LangComboBox->count(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(f.LangComboBox->itemText(i), Q(selfNames[i]));

    TOptionsForm& o = *::OptionsForm;
    EXPECT_EQ(o.windowTitle(), Q(c.OptionsCaption));
    EXPECT_EQ(o.OKButton->text(), Q(c.OK));
    EXPECT_EQ(o.CancelButton->text(), Q(c.Cancel));
    ASSERT_EQ(o.Language->count(), 4);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(o.Language->itemText(i), Q(c.LanguageItems[i]));
    EXPECT_EQ(o.PageControl1->tabText(o.PageControl1->indexOf(o.TabSheet4)), QStringLiteral("CGI"));
    EXPECT_EQ(o.PageControl1->tabText(o.PageControl1->indexOf(o.TabSheet1)),
              Q(LanguageText(c.L, lrTabSheet1)));
    EXPECT_EQ(o.AddRootButton->toolTip(), Q(LanguageText(c.L, lrAddRootHint)));
    EXPECT_EQ(o.CGIAssocGroupBox->title(), Q(LanguageText(c.L, lrCGIAssocGroupBox)));

    TAboutBox& a = *::AboutBox;
    EXPECT_EQ(a.windowTitle(), Q(c.AboutCaption));
    EXPECT_EQ(a.OKButton->text(), Q(c.OK));
    EXPECT_EQ(a.Label1->text(), Q(c.Version));

    EXPECT_EQ(s.Hive(), before) << "start-up must not store the language it read";
    EXPECT_FALSE(f.SuppressLanguageSave);
    EXPECT_TRUE(s.Boxes.empty());
  }
}

TEST(MainWindowLanguage, FirstRunWithoutHiveWritesNothing) {
  Session s;
  s.Show();
  EXPECT_EQ(s.Form->OptionsButton->text(), QStringLiteral("Options..."));
  EXPECT_EQ(s.Hive(), "");
}

TEST(MainWindowLanguage, ChoosingInTheWindowStoresAtOnce) {
  Session s(HiveWith(LanguageValue(0)));
  s.Show();
  ASSERT_EQ(s.Form->OptionsButton->text(), Q("Настройка..."));

  s.ChooseLanguage(1);
  EXPECT_EQ(s.Form->L, 1);
  EXPECT_EQ(StoredLanguage(s.Hive()), 1);
  EXPECT_EQ(s.Form->OptionsButton->text(), QStringLiteral("Options..."));

  s.ChooseLanguage(3);
  EXPECT_EQ(StoredLanguage(s.Hive()), 3);
  EXPECT_EQ(s.Form->HideButton->text(), Q("сакрити"));
  EXPECT_TRUE(s.Boxes.empty());
}

TEST(MainWindowLanguage, RelabelFromOptionsDialogIsNotStoredTwice) {
  Session s(HiveWith(LanguageValue(1)));
  s.Show();
  const std::string before = s.Hive();
  // What the options dialog's OK has the main window do after every setting was stored.
  s.Form->LangComboBox->setCurrentIndex(2);
  s.Form->SuppressLanguageSave = true;
  s.Form->LangComboBoxChange();
  EXPECT_EQ(s.Hive(), before);
  EXPECT_EQ(s.Form->OptionsButton->text(), Q("Налада..."));
  EXPECT_FALSE(s.Form->SuppressLanguageSave);
  // The next choice in the window is stored again.
  s.ChooseLanguage(0);
  EXPECT_EQ(StoredLanguage(s.Hive()), 0);
}

TEST(MainWindowLanguage, RussianMakesBothOKButtonsDA) {
  Session s(HiveWith(LanguageValue(1)));
  s.Show();
  ASSERT_EQ(::OptionsForm->OKButton->text(), QStringLiteral("OK"));
  s.ChooseLanguage(0);
  EXPECT_EQ(::OptionsForm->OKButton->text(), Q("ДА"));
  EXPECT_EQ(::AboutBox->OKButton->text(), Q("ДА"));
  EXPECT_EQ(::AboutBox->Label1->text(), Q("Версия 1.1"));
}

// Every text a window shows where a row of the language table could land.
QStringList ShownTexts(QWidget* window) {
  QStringList texts{window->windowTitle()};
  QList<QWidget*> widgets = window->findChildren<QWidget*>();
  widgets.append(window);
  for (QWidget* w : widgets) {
    texts << w->toolTip();
    if (auto* b = qobject_cast<QAbstractButton*>(w)) texts << b->text();
    if (auto* g = qobject_cast<QGroupBox*>(w)) texts << g->title();
    if (auto* l = qobject_cast<QLabel*>(w)) {
      texts << l->text();
      // The version line is its row's text followed by the version.
      const QString version = QString::fromLatin1(TAboutBox::Version);
      if (l->text().endsWith(version)) texts << l->text().chopped(version.size());
    }
    if (auto* t = qobject_cast<QTabWidget*>(w))
      for (int i = 0; i < t->count(); ++i) texts << t->tabText(i);
    if (auto* c = qobject_cast<QComboBox*>(w))
      for (int i = 0; i < c->count(); ++i) texts << c->itemText(i);
    if (auto* a = qobject_cast<TAboutBox*>(w)) texts << a->LinkText();
  }
  for (QAction* a : window->findChildren<QAction*>()) texts << a->text();
  return texts;
}

TEST(MainWindowLanguage, EveryRowLabelsItsOwnWindowInEveryLanguage) {
  Session s;
  s.Show();
  // Rows 0-5 label the main window, 25-33 the About box, all others the options dialog.
  const auto ownWindow = [&](int row) -> QWidget* {
    if (row <= lrExit) return s.Form.get();
    if (row >= lrAboutCaption && row <= lrAboutLink) return ::AboutBox;
    return ::OptionsForm;
  };
  // English last: the windows are built with English texts, some of them the rows' own.
  for (const int l : {3, 2, 0, 1}) {
    s.ChooseLanguage(l);
    for (int row = 0; row < kLangRowCount; ++row) {
      EXPECT_TRUE(ShownTexts(ownWindow(row)).contains(Q(LanguageText(l, row))))
          << "language " << l << ", row " << row;
    }
  }
}

TEST(MainWindowLanguage, UnknownStoredLanguageChangesNoText) {
  Session s(HiveWith(LanguageValue(7)));
  const std::string before = s.Hive();
  s.Show();
  EXPECT_EQ(s.Form->OptionsButton->text(), QStringLiteral("Options..."));
  EXPECT_EQ(::AboutBox->windowTitle(), QStringLiteral("About program"));
  EXPECT_EQ(s.Hive(), before);
}

// A translation longer than its control would be cut off in the fixed-size window.
TEST(MainWindowLanguage, EveryLanguageFitsTheFixedWindow) {
  Session s;
  s.Show();
  for (int l = 0; l < kLanguageCount; ++l) {
    SCOPED_TRACE(l);
    s.ChooseLanguage(l);
    QCoreApplication::processEvents();
    const QSize needed = s.Form->layout()->minimumSize();
    EXPECT_LE(needed.width(), s.Form->width());
    EXPECT_LE(needed.height(), s.Form->height());
    for (QPushButton* b : {s.Form->OptionsButton, s.Form->HideButton})
      EXPECT_LE(b->sizeHint().width(), b->width()) << b->text().toStdString();
  }
}

TEST(MainWindowLayout, FixedClientAreaAndInitialTexts) {
  Session s;
  EXPECT_EQ(s.Form->windowTitle(), QStringLiteral("Vyn Brevoxa"));
  EXPECT_EQ(s.Form->size(), QSize(498, 341));
  EXPECT_EQ(s.Form->minimumSize(), s.Form->maximumSize());
  EXPECT_EQ(s.Form->StatLabel1->text(), QStringLiteral("--"));
  EXPECT_EQ(s.Form->StatLabel2->text(), QStringLiteral("--"));
  EXPECT_EQ(s.Form->Timer1->interval(), 5000);
  EXPECT_EQ(s.Form->AboutBtn->toolTip(), QStringLiteral("About Vyn Brevoxa"));
  EXPECT_FALSE(s.Form->AboutBtn->icon().isNull());
  ASSERT_EQ(s.Form->PopupMenu1->actions().size(), 3);
  EXPECT_EQ(s.Form->PopupMenu1->actions()[0], s.Form->Restore);
  EXPECT_TRUE(s.Form->N1->isSeparator());
  EXPECT_EQ(s.Form->PopupMenu1->defaultAction(), s.Form->Restore);
  TTrayComp& t = *s.Form->TrayComp1;
  EXPECT_TRUE(t.Visible());
  EXPECT_TRUE(t.Hide());
  EXPECT_EQ(t.Hint(), QStringLiteral("Vyn Brevoxa"));
  EXPECT_EQ(t.PopupMenu, s.Form->PopupMenu1);
  EXPECT_EQ(t.RestoreOn, arLeftDblClick);
  EXPECT_EQ(t.PopupMenuOn, arRightClick);
}

// Without a notification area (the offscreen platform has none) "Hide" falls back to the task
// bar; nothing is shown, nothing terminates.
TEST(MainWindowTray, HideThenShowWithoutNotificationArea) {
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
  Session s;
  s.Show();
  int minimized = 0, restored = 0;
  s.Form->TrayComp1->OnMinimize = [&](TTrayComp*) { ++minimized; };
  s.Form->TrayComp1->OnRestore = [&](TTrayComp*) { ++restored; };

  s.Form->HideButton->click();
  QCoreApplication::processEvents();
  EXPECT_TRUE(s.Form->isMinimized());
  EXPECT_TRUE(s.Form->isVisible()) << "the task bar button is the only way back";
  EXPECT_TRUE(s.Form->TrayComp1->Minimized());
  EXPECT_EQ(minimized, 1);

  s.Form->Restore->trigger();
  QCoreApplication::processEvents();
  EXPECT_FALSE(s.Form->isMinimized());
  EXPECT_TRUE(s.Form->isVisible());
  EXPECT_FALSE(s.Form->TrayComp1->Minimized());
  EXPECT_EQ(restored, 1);
  EXPECT_EQ(minimized, 1);
  EXPECT_TRUE(s.Boxes.empty());
}

TEST(MainWindowTray, TitleBarMinimiseActsLikeHide) {
  Session s;
  s.Show();
  int minimized = 0, restored = 0;
  s.Form->TrayComp1->OnMinimize = [&](TTrayComp*) { ++minimized; };
  s.Form->TrayComp1->OnRestore = [&](TTrayComp*) { ++restored; };
  s.Form->setWindowState(Qt::WindowMinimized);
  QCoreApplication::processEvents();
  EXPECT_TRUE(s.Form->TrayComp1->Minimized());
  EXPECT_EQ(minimized, 1);
  // Restored from the task bar rather than from the tray menu.
  s.Form->setWindowState(Qt::WindowNoState);
  QCoreApplication::processEvents();
  EXPECT_FALSE(s.Form->TrayComp1->Minimized());
  EXPECT_EQ(restored, 1);
  EXPECT_EQ(minimized, 1);
}

TEST(MainWindowTray, HideOnStartMinimisesAtFirstShow) {
  Session s(HiveWith("\"HOS\"=dword:00000001\n" + LanguageValue(0)));
  const std::string before = s.Hive();
  s.Show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(s.Form->TrayComp1->Minimized());
  EXPECT_TRUE(s.Form->isMinimized());
  EXPECT_EQ(s.Form->OptionsButton->text(), Q("Настройка..."));
  EXPECT_EQ(s.Hive(), before);
  // A later show (restoring) does not hide again.
  s.Form->Restore->trigger();
  QCoreApplication::processEvents();
  EXPECT_FALSE(s.Form->TrayComp1->Minimized());
  EXPECT_FALSE(s.Form->isMinimized());
}

TEST(MainWindowExit, ExitEndsTheLoopAndShutDownWritesTheSessionEnd) {
  auto s = std::make_unique<Session>();
  s->Show();
  QTimer::singleShot(0, s->Form.get(), [&] { s->Form->Exit->trigger(); });
  // A loop that Exit fails to end is ended here with a code the test refuses.
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(5000);
  EXPECT_EQ(QCoreApplication::exec(), 0);
  EXPECT_FALSE(s->Form->isVisible());
  EXPECT_EQ(s->Log().find("SESSION TERMINATED"), std::string::npos);
  s->Close();
  const std::string log = s->Log();
  EXPECT_NE(log.find("Session statistics\n connects: 0; requests: 0; errors: 0;"),
            std::string::npos);
  EXPECT_NE(log.find("Brevoxa SESSION TERMINATED at "), std::string::npos);
}

// The tray component alone, on a plain window.
struct TrayFixture {
  QWidget Window;
  TTrayComp* Tray = new TTrayComp(&Window);
};

TEST(TrayComp, HintOf63IsTakenAnd64Refused) {
  struct Case {
    const char* name;
    QString hint;
    bool taken;
  };
  const QString cyrillic63 = QString(63, QChar(0x0416));  // Ж: two bytes in UTF-8, one in cp1251
  const Case cases[] = {
      {"63 characters", QString(63, QLatin1Char('a')), true},
      {"64 characters", QString(64, QLatin1Char('b')), false},
      {"63 Cyrillic characters", cyrillic63, true},
      {"64 Cyrillic characters", cyrillic63 + QChar(0x0416), false},
      {"empty", QString(), true},
      {"short", QStringLiteral("Vyn Brevoxa"), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TrayFixture f;
    f.Tray->SetHint(QStringLiteral("old"));
    f.Tray->SetHint(c.hint);
    const QString expected = c.taken ? c.hint : QStringLiteral("old");
    EXPECT_EQ(f.Tray->Hint(), expected);
    EXPECT_EQ(f.Tray->TrayIcon()->toolTip(), expected);
  }
}

TEST(TrayComp, DefaultsAndVisibility) {
  TrayFixture f;
  EXPECT_FALSE(f.Tray->Visible());
  EXPECT_TRUE(f.Tray->Hide());
  EXPECT_EQ(f.Tray->RestoreOn, arLeftDblClick);
  EXPECT_EQ(f.Tray->PopupMenuOn, arNone);
  EXPECT_EQ(f.Tray->GetInterval(), 1000);
  EXPECT_FALSE(f.Tray->GetAnimate());
  EXPECT_FALSE(f.Tray->CurrentIcon().isNull());
  f.Tray->SetVisible(true);
  EXPECT_TRUE(f.Tray->Hide());
  f.Tray->SetVisible(false);
  EXPECT_FALSE(f.Tray->Hide());
  EXPECT_FALSE(f.Tray->CanHideToTray());
}

// Each mouse handler restores and opens the menu only for its own value of RestoreOn and
// PopupMenuOn; arNone matches none.
TEST(TrayComp, MouseHandlersAnswerOnlyTheirOwnValue) {
  using Handler = void (TTrayComp::*)();
  const struct {
    Handler handler;
    TTrayCompButtonClick value;
  } handlers[] = {
      {&TTrayComp::LButtonDown, arLeftClick},         {&TTrayComp::LButtonDblClick, arLeftDblClick},
      {&TTrayComp::LButtonUp, arLeftClickUp},         {&TTrayComp::RButtonDown, arRightClick},
      {&TTrayComp::RButtonDblClick, arRightDblClick}, {&TTrayComp::RButtonUp, arRightClickUp},
  };
  for (int setting = arLeftClick; setting <= arNone; ++setting) {
    for (const auto& h : handlers) {
      SCOPED_TRACE(testing::Message() << "setting " << setting << ", handler for " << h.value);
      TrayFixture f;
      QMenu menu;
      menu.addAction(QStringLiteral("item"));
      int restored = 0, menus = 0;
      QObject::connect(&menu, &QMenu::aboutToShow, [&] { ++menus; });
      f.Tray->OnRestore = [&](TTrayComp*) { ++restored; };
      f.Tray->PopupMenu = &menu;
      f.Tray->RestoreOn = static_cast<TTrayCompButtonClick>(setting);
      f.Tray->PopupMenuOn = static_cast<TTrayCompButtonClick>(setting);
      (f.Tray->*h.handler)();
      const int expected = setting == h.value ? 1 : 0;
      EXPECT_EQ(restored, expected);
      EXPECT_EQ(menus, expected);
      menu.hide();
    }
  }
}

// An X11 notification area reports clicks and double clicks; a StatusNotifierItem host reports
// one activation, which then also stands for the double click it can never report.
TEST(TrayComp, IconActivationsMapToMouseHandlers) {
  const struct {
    bool doubleClickReported;
    QSystemTrayIcon::ActivationReason reason;
    std::vector<std::string> events;
  } cases[] = {
      {true, QSystemTrayIcon::Trigger, {"LDown", "LUp"}},
      {true, QSystemTrayIcon::DoubleClick, {"LDbl"}},
      {true, QSystemTrayIcon::Context, {"RDown"}},
      {true, QSystemTrayIcon::MiddleClick, {}},
      {false, QSystemTrayIcon::Trigger, {"LDown", "LUp", "LDbl"}},
      {false, QSystemTrayIcon::Context, {"RDown"}},
      {false, QSystemTrayIcon::MiddleClick, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "double click reported " << c.doubleClickReported
                                    << ", reason " << static_cast<int>(c.reason));
    TrayFixture f;
    f.Tray->SetDoubleClickReported(c.doubleClickReported);
    std::vector<std::string> seen;
    auto note = [&seen](const char* name) {
      return [&seen, name](TTrayComp*) { seen.push_back(name); };
    };
    f.Tray->OnLButtonDown = note("LDown");
    f.Tray->OnLButtonUp = note("LUp");
    f.Tray->OnLButtonDblClick = note("LDbl");
    f.Tray->OnRButtonDown = note("RDown");
    f.Tray->OnRButtonUp = note("RUp");
    f.Tray->OnRButtonDblClick = note("RDbl");
    emit f.Tray->TrayIcon()->activated(c.reason);
    EXPECT_EQ(seen, c.events);
  }
}

// With the main window's settings: a left double-click restores, the right button opens the
// menu, a left click and a right double-click do nothing.
TEST(TrayComp, MainWindowSettingsOnTheIcon) {
  Session s;
  s.Show();
  TTrayComp& t = *s.Form->TrayComp1;
  int restored = 0;
  t.OnRestore = [&](TTrayComp*) { ++restored; };
  t.Minimize();
  emit t.TrayIcon()->activated(QSystemTrayIcon::Trigger);
  t.RButtonDblClick();
  EXPECT_EQ(restored, 0);
  EXPECT_FALSE(s.Form->PopupMenu1->isVisible());
  emit t.TrayIcon()->activated(QSystemTrayIcon::Context);
  EXPECT_TRUE(s.Form->PopupMenu1->isVisible());
  s.Form->PopupMenu1->hide();
  emit t.TrayIcon()->activated(QSystemTrayIcon::DoubleClick);
  EXPECT_EQ(restored, 1);
  EXPECT_FALSE(t.Minimized());
}

// On a StatusNotifierItem host one activation brings the window back, and the host gets the
// menu and the tip; on an X11 notification area the menu stays ours alone to open.
TEST(TrayComp, StatusNotifierHostRestoresOnOneActivationAndHasTheMenu) {
  for (const bool statusNotifier : {false, true}) {
    SCOPED_TRACE(statusNotifier ? "StatusNotifierItem host" : "X11 notification area");
    Session s;
    s.Show();
    TTrayComp& t = *s.Form->TrayComp1;
    t.SetDoubleClickReported(!statusNotifier);
    t.Loaded();
    EXPECT_EQ(t.TrayIcon()->contextMenu(), statusNotifier ? s.Form->PopupMenu1 : nullptr);
    EXPECT_EQ(t.TrayIcon()->toolTip(), QStringLiteral("Vyn Brevoxa"));
    t.Minimize();
    emit t.TrayIcon()->activated(QSystemTrayIcon::Trigger);
    EXPECT_EQ(t.Minimized(), !statusNotifier);
  }
}

TEST(TrayComp, EveryMinimizeFiresOnMinimize) {
  TrayFixture f;
  int minimized = 0;
  f.Tray->OnMinimize = [&](TTrayComp*) { ++minimized; };
  f.Tray->Minimize();
  f.Tray->Minimize();
  EXPECT_EQ(minimized, 2);
}

TEST(TrayComp, AnimationCyclesThroughTheIcons) {
  TrayFixture f;
  f.Tray->SetAnimate(true);
  EXPECT_FALSE(f.Tray->GetAnimate()) << "no pictures, nothing to animate";
  QPixmap red(16, 16), green(16, 16), blue(16, 16);
  red.fill(Qt::red);
  green.fill(Qt::green);
  blue.fill(Qt::blue);
  const TImageList icons = {QIcon(red), QIcon(green), QIcon(blue)};
  f.Tray->SetIcons(&icons);
  f.Tray->SetIconIndex(2);
  EXPECT_EQ(f.Tray->CurrentIcon().cacheKey(), icons[2].cacheKey());
  f.Tray->SetInterval(10);
  f.Tray->SetAnimate(true);
  ASSERT_TRUE(f.Tray->GetAnimate());
  // After the last picture comes the first.
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.Tray->IconIndex() == 0; }, 2000));
  EXPECT_EQ(f.Tray->CurrentIcon().cacheKey(), icons[0].cacheKey());
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.Tray->IconIndex() == 1; }, 2000));
  f.Tray->SetAnimate(false);
  EXPECT_FALSE(f.Tray->GetAnimate());
}

class UrlCatcher : public QObject {
  Q_OBJECT
 public:
  std::vector<QUrl> Opened;
 public slots:
  void Open(const QUrl& url) { Opened.push_back(url); }
};

TEST(AboutBox, LinkOpensOwnSiteInEveryLanguage) {
  UrlCatcher catcher;
  QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "Open");
  Session s;
  s.Show();
  for (int l = 0; l < kLanguageCount; ++l) {
    s.ChooseLanguage(l);
    EXPECT_EQ(::AboutBox->LinkText(), Q(LanguageText(l, lrAboutLink)));
    EXPECT_TRUE(::AboutBox->MyForum->text().contains(QStringLiteral("href=\"http://localhost/\"")));
    emit ::AboutBox->MyForum->linkActivated(QStringLiteral("http://localhost/"));
  }
  QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
  ASSERT_EQ(catcher.Opened.size(), 4u);
  for (const QUrl& url : catcher.Opened) EXPECT_EQ(url, QUrl(QStringLiteral("http://localhost/")));
}

TEST(AboutBox, LinkTextIsShownAsTextNotMarkup) {
  TAboutBox about;
  about.SetLinkText(QStringLiteral("<b>x</b> & y"));
  EXPECT_TRUE(about.MyForum->text().contains(QStringLiteral("&lt;b&gt;x&lt;/b&gt; &amp; y")));
}

TEST(LanguageTable, EveryTextIsPresentAndFitsCodePage1251) {
  for (int row = 0; row < kLangRowCount; ++row) {
    for (int l = 0; l < kLanguageCount; ++l) {
      SCOPED_TRACE(testing::Message() << "row " << row << ", language " << l);
      const std::string utf8 = LanguageText(l, row);
      EXPECT_FALSE(utf8.empty());
      const std::string cp1251 = Utf8ToCp1251(utf8);
      EXPECT_EQ(cp1251.find('?'), std::string::npos);
      EXPECT_EQ(Cp1251ToUtf8(cp1251), utf8);
    }
  }
  EXPECT_STREQ(LanguageText(-1, 0), "");
  EXPECT_STREQ(LanguageText(4, 0), "");
  EXPECT_STREQ(LanguageText(0, 60), "");
}

TEST(LanguageTable, FixedRowsKeepTheirWording) {
  const struct {
    int row;
    const char* texts[4];
  } rows[] = {
      {lrAboutBtnHint,
       {"О программе Vyn Brevoxa", "About Vyn Brevoxa", "Аб праграме Vyn Brevoxa",
        "О програму Vyn Brevoxa"}},
      {lrOptionsCaption,
       {"Настройки сервера", "Server options", "Настройкі сервера", "Сервер сеттингс"}},
      {lrAboutOK, {"ДА", "OK", "ДА", "ДА"}},
      {lrAboutVersion, {"Версия ", "Version ", "версія ", "верзија "}},
      {lrDNICGI, {nullptr, "Denie access to non-programs in CGI dir", nullptr, nullptr}},
      {lrDPAF,
       {nullptr, "File which name begins with point is inaccessible (like in UNIX)", nullptr,
        nullptr}},
      {lrSendServerHeader, {nullptr, "Send \"Server:\" HTTP header", nullptr, nullptr}},
      {lrTabSheet3, {nullptr, "IP filtering", nullptr, nullptr}},
      {lrRemoveRootHint, {nullptr, "Remove from pathlist", nullptr, nullptr}},
  };
  for (const auto& r : rows) {
    for (int l = 0; l < 4; ++l) {
      if (r.texts[l]) {
        EXPECT_STREQ(LanguageText(l, r.row), r.texts[l]) << "row " << r.row;
      }
    }
  }
}

}  // namespace

#include "main_window_gui_test.moc"
