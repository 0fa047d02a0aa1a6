// The options dialog: what it loads, what OK refuses, normalises, applies and stores, and what
// Cancel drops.
#include <sys/inotify.h>
#include <unistd.h>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <cstring>
#include <functional>
#include <thread>

#include "OptionsFixture.h"
#include "platform/Registry.h"
#include "settings/Settings.h"

namespace {

// Counts how often a file in a folder is replaced or rewritten, from the kernel's own reports.
class TFileWrites {
 public:
  TFileWrites(const std::string& folder, std::string name) : FName(std::move(name)) {
    FFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    inotify_add_watch(FFd, folder.c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  }
  ~TFileWrites() { close(FFd); }
  int Count() {
    alignas(inotify_event) char buffer[8192];
    for (;;) {
      const ssize_t n = read(FFd, buffer, sizeof buffer);
      if (n <= 0) break;
      for (ssize_t at = 0; at < n;) {
        const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
        if (e->len > 0 && FName == e->name) ++FCount;
        at += sizeof(inotify_event) + e->len;
      }
    }
    return FCount;
  }

 private:
  int FFd = -1;
  std::string FName;
  int FCount = 0;
};

// One value of the settings key as stored in the hive file; nullptr when absent.
const TRegValue* StoredValue(THive& hive, const std::string& name) {
  TRegKey* key = hive.FindKey(kSettingsKey);
  if (!key) return nullptr;
  for (const TRegValue& v : key->Values)
    if (QString::fromStdString(v.Name).compare(Q(name), Qt::CaseInsensitive) == 0) return &v;
  return nullptr;
}

int32_t AsInteger(const TRegValue* v) {
  int32_t x = 0;
  if (v && v->Data.size() == 4) std::memcpy(&x, v->Data.data(), 4);
  return x;
}

class OptionsDialog : public OptionsFixture {
 protected:
  // Pumps the event loop, which serves the server's socket, while a client thread talks to it.
  std::string Fetch(const std::string& request) {
    std::atomic<bool> done{false};
    std::string reply;
    const int port = Form->ServerSocket1->Port();
    std::thread client([&] {
      const int fd = ConnectLoopback(port);
      if (fd >= 0) {
        SendAll(fd, request);
        reply = ReadUntilClose(fd, 3000);
        close(fd);
      }
      done = true;
    });
    while (!done) QApplication::processEvents(QEventLoop::AllEvents, 20);
    client.join();
    return reply;
  }

  void ActivateDialog() {
    ShowDialog();
    Dialog->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Dialog.get()));
  }
};

TEST_F(OptionsDialog, IsBuiltWithItsCaptionSizeTabsAndFixedFonts) {
  ShowDialog();
  EXPECT_EQ(U(Dialog->windowTitle()), "Server options");
  const QSize outer = Dialog->frameGeometry().size();
  EXPECT_NEAR(outer.width(), 549, 8);
  EXPECT_NEAR(outer.height(), 429, 8);
  ASSERT_EQ(Dialog->PageControl1->count(), 5);
  const char* tabs[] = {"Main", "Logs", "IP filtering", "CGI", "Compatibility"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(U(Dialog->PageControl1->tabText(i)), tabs[i]);
  EXPECT_TRUE(Dialog->OKButton->isDefault());
  EXPECT_FALSE(Dialog->windowFlags() & Qt::WindowMaximizeButtonHint);
  // Neither maximised nor stretched: the controls are placed for the design size.
  EXPECT_EQ(Dialog->minimumSize(), Dialog->maximumSize());
  // What the dialog asks for, not what the machine's fonts can give it.
  for (QWidget* w :
       {static_cast<QWidget*>(Dialog->IPFiltersListBox), static_cast<QWidget*>(Dialog->CGIDir),
        static_cast<QWidget*>(Dialog->DuplicateIPVar)})
    EXPECT_TRUE(w->font().fixedPitch()) << U(w->objectName());
  EXPECT_FALSE(Dialog->HideOnStartCheckBox->isEnabled());
}

TEST_F(OptionsDialog, ShowLoadsEverySettingIntoItsControl) {
  Form->RC = Utf8ToCp1251(U(QDir::tempPath()));
  Form->L = 3;
  Form->SRS = false;
  Form->LF = true;
  Form->UIPF = true;
  Form->WrongIPs = {"10.*", "1.2.3.4"};
  Form->ICURL = "/s.css";
  Form->CGID = "/run/";
  Form->SCGIF = Utf8ToCp1251("/srv/Привет");
  Form->DIPIV = true;
  Form->DIPV = "HTTP_X";
  Form->CGIAssoc = {"pl:perl"};
  Form->Roots = {"/a", "/b"};
  ShowDialog();
  EXPECT_EQ(U(Dialog->RootPath->text()), U(QDir::tempPath()));
  EXPECT_EQ(Dialog->Language->currentIndex(), 3);
  EXPECT_FALSE(Dialog->ShowStatCheckBox->isChecked());
  EXPECT_TRUE(Dialog->LogFilesCheckBox->isChecked());
  EXPECT_TRUE(Dialog->UseIPFilteringCheckBox->isChecked());
  EXPECT_EQ(Items(Dialog->IPFiltersListBox), (std::vector<std::string>{"10.*", "1.2.3.4"}));
  EXPECT_EQ(U(Dialog->IndexCssURL->text()), "/s.css");
  EXPECT_EQ(U(Dialog->CGIDir->text()), "/run/");
  EXPECT_EQ(U(Dialog->SeparateCGIFolder->text()), "/srv/Привет");
  EXPECT_EQ(U(Dialog->DuplicateIPVar->text()), "HTTP_X");
  EXPECT_EQ(Items(Dialog->CGIAssocListBox), (std::vector<std::string>{"pl:perl"}));
  EXPECT_EQ(Items(Dialog->ListBoxRoots), (std::vector<std::string>{"/a", "/b"}));
}

TEST_F(OptionsDialog, EveryCheckBoxShowsItsSettingAndOkStoresTheBox) {
  const struct {
    const char* Name;
    bool TServerCore::*Flag;
    QCheckBox* TOptionsForm::*Box;
  } rows[] = {
      {"SRS", &TServerCore::SRS, &TOptionsForm::ShowStatCheckBox},
      {"SCC", &TServerCore::SCC, &TOptionsForm::ShowCatContCheckBox},
      {"HOS", &TServerCore::HOS, &TOptionsForm::HideOnStartCheckBox},
      {"LS", &TServerCore::LS, &TOptionsForm::LogSessionsCheckBox},
      {"LC", &TServerCore::LC, &TOptionsForm::LogConnectsCheckBox},
      {"LF", &TServerCore::LF, &TOptionsForm::LogFilesCheckBox},
      {"LH", &TServerCore::LH, &TOptionsForm::LogHeadersCheckBox},
      {"LD", &TServerCore::LD, &TOptionsForm::LogDebugCheckBox},
      {"LRH", &TServerCore::LRH, &TOptionsForm::LogRemoteHostsCheckBox},
      {"UIPF", &TServerCore::UIPF, &TOptionsForm::UseIPFilteringCheckBox},
      {"SSH", &TServerCore::SSH, &TOptionsForm::SendServerHeaderCheckBox},
      {"ECGI", &TServerCore::ECGI, &TOptionsForm::ECGICheckBox},
      {"USCGIF", &TServerCore::USCGIF, &TOptionsForm::USCGIFCheckBox},
      {"DNICGI", &TServerCore::DNICGI, &TOptionsForm::DNICGICheckBox},
      {"DPAF", &TServerCore::DPAF, &TOptionsForm::DPAFCheckBox},
      {"AEASC", &TServerCore::AEASC, &TOptionsForm::AEASCCheckBox},
      {"DIPIV", &TServerCore::DIPIV, &TOptionsForm::DIPIVCheckBox},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.Name);
    const bool before = (*Form).*r.Flag;
    ShowDialog();
    QCheckBox* box = (*Dialog).*r.Box;
    EXPECT_EQ(box->isChecked(), before);
    box->setChecked(!before);
    Dialog->OKButtonClick();
    ASSERT_TRUE(Messages.empty()) << Messages[0].Caption;
    EXPECT_EQ((*Form).*r.Flag, !before);
    THive hive;
    ASSERT_TRUE(THive::Parse(ReadFile(HivePath()), hive));
    EXPECT_EQ(AsInteger(StoredValue(hive, r.Name)), before ? 0 : 1);
  }
}

TEST_F(OptionsDialog, EnablingFollowsTheCheckBoxesAndDisabledEntriesTakeTheButtonColour) {
  Form->UIPF = false;
  Form->SCC = true;
  Form->ECGI = true;
  Form->USCGIF = false;
  Form->DIPIV = false;
  ShowDialog();
  const QPalette app = QApplication::palette();
  auto base = [](QWidget* w) { return w->palette().color(QPalette::Base); };

  EXPECT_FALSE(Dialog->IPFiltersListBox->isEnabled());
  EXPECT_EQ(base(Dialog->IPFiltersListBox), app.color(QPalette::Button));
  EXPECT_FALSE(Dialog->IPFilterAdd->isEnabled());
  EXPECT_TRUE(Dialog->TestipfiltButton->isEnabled());
  Dialog->UseIPFilteringCheckBox->click();
  EXPECT_TRUE(Dialog->IPFiltersListBox->isEnabled());
  EXPECT_EQ(base(Dialog->IPFiltersListBox), app.color(QPalette::Base));
  EXPECT_TRUE(Dialog->IPFiltersClear->isEnabled());

  EXPECT_TRUE(Dialog->IndexCssURL->isEnabled());
  Dialog->ShowCatContCheckBox->click();
  EXPECT_FALSE(Dialog->IndexCssURL->isEnabled());
  EXPECT_EQ(base(Dialog->IndexCssURL), app.color(QPalette::Button));

  EXPECT_FALSE(Dialog->SeparateCGIFolder->isEnabled());
  Dialog->USCGIFCheckBox->click();
  EXPECT_TRUE(Dialog->SeparateCGIFolder->isEnabled());
  Dialog->ECGICheckBox->click();  // CGI off takes the separate folder with it
  EXPECT_FALSE(Dialog->SeparateCGIFolder->isEnabled());
  EXPECT_FALSE(Dialog->CGIDir->isEnabled());
  EXPECT_FALSE(Dialog->CGIAssocGroupBox->isEnabled());
  EXPECT_FALSE(Dialog->CGIAssocAdd->isEnabled());
  EXPECT_EQ(base(Dialog->CGIAssocListBox), app.color(QPalette::Button));
  Dialog->ECGICheckBox->click();  // and back on restores it, as USCGIF is still checked
  EXPECT_TRUE(Dialog->SeparateCGIFolder->isEnabled());
  EXPECT_EQ(base(Dialog->CGIAssocListBox), app.color(QPalette::Base));

  EXPECT_FALSE(Dialog->DuplicateIPVar->isEnabled());
  Dialog->DIPIVCheckBox->click();
  EXPECT_TRUE(Dialog->DuplicateIPVar->isEnabled());
}

struct TRefusal {
  const char* Name;
  std::function<void(OptionsFixture&, TOptionsForm&)> Edit;
  const char* Caption;
  int Tab;
  std::function<QWidget*(TOptionsForm&)> Focus;  // null: the control cannot take the focus
};

TEST_F(OptionsDialog, EachFailedCheckBlocksWithItsMessageTabAndFocusAndChangesNothing) {
  const std::vector<TRefusal> rows = {
      {"root path missing",
       [](OptionsFixture& f, TOptionsForm& d) { d.RootPath->setText(Q(f.Dir / "missing")); },
       "WRONG ROOT PATH", 0, [](TOptionsForm& d) { return d.RootPath; }},
      {"separate CGI folder missing while unused",
       [](OptionsFixture& f, TOptionsForm& d) { d.SeparateCGIFolder->setText(Q(f.Dir / "nope")); },
       "WRONG FOLDER FOR CGI DIR", 3, nullptr},
      {"separate CGI folder missing while used",
       [](OptionsFixture& f, TOptionsForm& d) {
         d.USCGIFCheckBox->setChecked(true);
         d.SeparateCGIFolder->setText(Q(f.Dir / "nope"));
       },
       "WRONG FOLDER FOR CGI DIR", 3, [](TOptionsForm& d) { return d.SeparateCGIFolder; }},
      {"style sheet with a drive letter",
       [](OptionsFixture&, TOptionsForm& d) { d.IndexCssURL->setText("C:/styles/a.css"); },
       "WRONG URL OF CSS-FILE FOR INDEX-PAGES", 0, [](TOptionsForm& d) { return d.IndexCssURL; }},
      {"style sheet with a backslash",
       [](OptionsFixture&, TOptionsForm& d) { d.IndexCssURL->setText("http://host/a\\b.css"); },
       "WRONG URL OF CSS-FILE FOR INDEX-PAGES", 0, [](TOptionsForm& d) { return d.IndexCssURL; }},
      {"REMOTE_ADDR duplicated",
       [](OptionsFixture&, TOptionsForm& d) {
         d.DIPIVCheckBox->setChecked(true);
         d.DuplicateIPVar->setText("REMOTE_ADDR");
       },
       "SENSELESS OPTION", 4, [](TOptionsForm& d) { return d.DIPIVCheckBox; }},
      {"'=' in the variable name",
       [](OptionsFixture&, TOptionsForm& d) {
         d.DIPIVCheckBox->setChecked(true);
         d.DuplicateIPVar->setText("HTTP_A=B");
       },
       "WRONG ENVIRONMENT VARIABLE NAME", 4, [](TOptionsForm& d) { return d.DuplicateIPVar; }},
  };
  ActivateDialog();
  for (const TRefusal& row : rows) {
    SCOPED_TRACE(row.Name);
    Messages.clear();
    Form->RC = Utf8ToCp1251(Dir.Path());
    Form->SSH = false;
    Dialog->FormShow();
    Dialog->SendServerHeaderCheckBox->setChecked(true);
    Dialog->PageControl1->setCurrentIndex(1);
    Dialog->LogSessionsCheckBox->setFocus();
    row.Edit(*this, *Dialog);
    TFileWrites writes(Dir.Path(), "HKLM.reg");
    Dialog->OKButtonClick();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Caption, row.Caption);
    EXPECT_EQ(Messages[0].Type, mtWarning);
    EXPECT_EQ(Dialog->PageControl1->currentIndex(), row.Tab);
    if (row.Focus) {
      EXPECT_TRUE(row.Focus(*Dialog)->hasFocus());
    }
    EXPECT_TRUE(Dialog->isVisible());
    EXPECT_FALSE(Form->SSH);
    EXPECT_EQ(Form->RC, Utf8ToCp1251(Dir.Path()));
    EXPECT_EQ(writes.Count(), 0);
  }
}

TEST_F(OptionsDialog, WebAddressesAndSitePathsPassAsStyleSheet) {
  for (const char* url : {"/styles/a.css", "http://example.org/a.css", "", "ab:c.css"}) {
    SCOPED_TRACE(url);
    Messages.clear();
    ShowDialog();
    Dialog->IndexCssURL->setText(url);
    Dialog->OKButtonClick();
    EXPECT_TRUE(Messages.empty());
    EXPECT_EQ(Form->ICURL, url);
    EXPECT_FALSE(Dialog->isVisible());
  }
}

struct TVariableCase {
  const char* Name;
  bool Checked;
  int Answer;  // to the prefix question
  bool Asked;
  bool Stored;
};

TEST_F(OptionsDialog, DuplicateAddressVariableWithoutPrefixAsksWithTheNameAsCaption) {
  const TVariableCase rows[] = {
      {"remote_addr", true, mrNo, true, false},  // not REMOTE_ADDR: only the question
      {"remote_addr", true, mrYes, true, true},
      {"", true, mrYes, true, true},      // empty name, empty caption
      {"HTTP", true, mrNo, true, false},  // too short for the prefix
      {"HTTP_X_REAL", true, mrNo, false, true},
      {"REMOTE_ADDR", false, mrNo, false, true},  // unchecked: stored as typed
  };
  for (const TVariableCase& row : rows) {
    SCOPED_TRACE(std::string(row.Name) + (row.Checked ? " checked" : " clear"));
    Messages.clear();
    MessageAnswers = {row.Answer};
    Form->DIPV = "HTTP_X_FORWARDED_FOR";
    ShowDialog();
    Dialog->DIPIVCheckBox->setChecked(row.Checked);
    Dialog->DuplicateIPVar->setText(row.Name);
    Dialog->OKButtonClick();
    if (row.Asked) {
      ASSERT_EQ(Messages.size(), 1u);
      EXPECT_EQ(Messages[0].Caption, row.Name);
      EXPECT_EQ(Messages[0].Type, mtConfirmation);
      EXPECT_EQ(Messages[0].Buttons, mbYesNo);
      EXPECT_EQ(Dialog->PageControl1->currentIndex(), 4);
    } else {
      EXPECT_TRUE(Messages.empty());
    }
    EXPECT_EQ(Form->DIPV, row.Stored ? row.Name : "HTTP_X_FORWARDED_FOR");
    EXPECT_EQ(Dialog->isVisible(), !row.Stored);
    Dialog->hide();
  }
}

TEST_F(OptionsDialog, OkNormalisesPathsAndTheCgiFolder) {
  struct {
    std::string Root, StoredRoot;
    const char* CgiDir;
    const char* StoredCgiDir;
  } rows[] = {
      {Dir.Path() + "/", Dir.Path(), "cgi", "/cgi/"},
      {"", "/", "", "/"},
      {"/", "/", "/x/", "/x/"},
      {"//", "/", "x/", "/x/"},
      {Dir.Path(), Dir.Path(), "/x", "/x/"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Root + " " + row.CgiDir);
    ShowDialog();
    Dialog->RootPath->setText(Q(row.Root));
    Dialog->SeparateCGIFolder->setText(Q(row.Root));
    Dialog->CGIDir->setText(row.CgiDir);
    Dialog->OKButtonClick();
    EXPECT_EQ(Form->RC, row.StoredRoot);
    EXPECT_EQ(Form->SCGIF, row.StoredRoot);
    EXPECT_EQ(Form->CGID, row.StoredCgiDir);
    EXPECT_EQ(U(Dialog->CGIDir->text()), row.StoredCgiDir);  // the entry shows what was stored
    EXPECT_EQ(U(Dialog->RootPath->text()), row.StoredRoot);
  }
}

TEST_F(OptionsDialog, OkStoresOnceAndTheNextRequestSeesTheNewRoot) {
  // A root whose name the code page cannot hold, typed as it is.
  const std::string site = Dir / "josé/Música 😀";
  ASSERT_TRUE(QDir().mkpath(Q(site)));
  WriteFile(site + "/marker.txt", "new root");
  Form->RC = Utf8ToCp1251(Dir.Path());
  ShowDialog();
  Dialog->RootPath->setText(Q(site));
  Dialog->LogFilesCheckBox->setChecked(true);
  Dialog->ShowStatCheckBox->setChecked(false);
  TFileWrites writes(Dir.Path(), "HKLM.reg");
  Dialog->OKButtonClick();
  EXPECT_TRUE(Messages.empty()) << Messages[0].Caption;
  EXPECT_FALSE(Dialog->isVisible());
  EXPECT_EQ(writes.Count(), 1);
  EXPECT_EQ(U(Form->StatLabel1->text()), "--");
  EXPECT_EQ(U(Form->StatLabel2->text()), "--");

  THive hive;
  ASSERT_TRUE(THive::Parse(ReadFile(HivePath()), hive));
  const TRegValue* rc = StoredValue(hive, "RC");
  ASSERT_NE(rc, nullptr);
  EXPECT_EQ(rc->Data, Utf8ToCp1251(site));
  EXPECT_EQ(Form->RC, Utf8ToCp1251(site));
  EXPECT_NE(ReadFile(HivePath()).find("josé/Música 😀\""), std::string::npos);
  EXPECT_EQ(AsInteger(StoredValue(hive, "LF")), 1);
  EXPECT_EQ(AsInteger(StoredValue(hive, "SRS")), 0);

  const std::string reply = Fetch("GET /marker.txt HTTP/1.0\r\n\r\n");
  EXPECT_NE(reply.find(" 200 "), std::string::npos) << reply;
  EXPECT_NE(reply.find("new root"), std::string::npos) << reply;
}

TEST_F(OptionsDialog, ChangingOnlyTheLanguageStoresOnceAndRelabelsEveryWindow) {
  Form->L = 1;
  ShowDialog();
  int mainChanges = 0;
  QObject::connect(Form->LangComboBox, &QComboBox::currentIndexChanged, [&] { ++mainChanges; });
  Dialog->Language->setCurrentIndex(0);
  TFileWrites writes(Dir.Path(), "HKLM.reg");
  Dialog->OKButtonClick();
  EXPECT_EQ(writes.Count(), 1);  // SaveSettings, and no second write of the language alone
  EXPECT_EQ(Form->L, 0);
  EXPECT_EQ(Form->LangComboBox->currentIndex(), 0);
  EXPECT_EQ(mainChanges, 0);  // selected quietly: the handler ran once, from OK
  EXPECT_FALSE(Form->SuppressLanguageSave);
  EXPECT_EQ(U(Dialog->OKButton->text()), "ДА");
  EXPECT_EQ(U(Form->OptionsButton->text()), "Настройка...");
  THive hive;
  ASSERT_TRUE(THive::Parse(ReadFile(HivePath()), hive));
  EXPECT_EQ(AsInteger(StoredValue(hive, "L")), 0);
}

// Every attempt to store fails here and reports itself, so the reports count the attempts even
// where an unchanged value would not rewrite the file.
TEST_F(OptionsDialog, AFailedStoreIsReportedOnceAndOkStillAppliesAndCloses) {
  WriteFile(Dir / "plain", "");
  Form->Registry = std::make_unique<TRegistry>(Dir / "plain/HKLM.reg");  // can never be written
  Form->L = 1;
  Form->SRS = true;
  ShowDialog();
  Dialog->Language->setCurrentIndex(0);
  Dialog->ShowStatCheckBox->setChecked(false);
  Dialog->OKButtonClick();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Caption, "Ошибка при записи в реестр");
  EXPECT_EQ(Messages[0].Type, mtError);
  EXPECT_FALSE(Dialog->isVisible());
  EXPECT_EQ(Form->L, 0);
  EXPECT_FALSE(Form->SRS);
  EXPECT_EQ(U(Form->StatLabel1->text()), "--");
  EXPECT_EQ(U(Dialog->CancelButton->text()), "Отмена");
}

TEST_F(OptionsDialog, AStoredLanguageOutsideTheListSurvivesOk) {
  StartWithHive(HiveWith("\"L\"=dword:00000007\n"));
  ShowDialog();
  EXPECT_EQ(Dialog->Language->currentIndex(), -1);
  Dialog->OKButtonClick();
  EXPECT_EQ(Form->L, 7);
  ASSERT_TRUE(Messages.empty()) << Messages[0].Caption;
  EXPECT_NE(ReadFile(HivePath()).find("\"L\"=dword:00000007"), std::string::npos);
}

// A stored integer shorter than four bytes is the number it holds, not a read failure.
TEST_F(OptionsDialog, AShortStoredIntegerLoadsAsItsValue) {
  StartWithHive(HiveWith("\"L\"=hex(4):03\n\"SRS\"=hex(4):00\n\"HOS\"=hex(4):01,00\n"));
  EXPECT_TRUE(Messages.empty());
  ShowDialog();
  EXPECT_EQ(Form->L, 3);
  EXPECT_EQ(Dialog->Language->currentIndex(), 3);
  EXPECT_FALSE(Dialog->ShowStatCheckBox->isChecked());
  EXPECT_TRUE(Dialog->HideOnStartCheckBox->isChecked());
}

// Tab walks each page as laid out, then OK and Cancel, then the tabs; the dialog opens with the
// first control of its page in focus.
TEST_F(OptionsDialog, KeyboardOrderFollowsTheLayout) {
  Form->UIPF = Form->ECGI = Form->USCGIF = Form->DIPIV = Form->SCC = true;
  Form->SCGIF = Utf8ToCp1251(Dir.Path());
  for (int page = 0; page < 5; ++page) {
    // A fresh dialog for each page: it opens on the page last used.
    Dialog.reset(new TOptionsForm(Form.get()));
    OptionsForm = Dialog.get();
    TOptionsForm& d = *Dialog;
    SCOPED_TRACE(U(d.PageControl1->tabText(page)));
    const std::vector<std::vector<QWidget*>> pages = {
        {d.RootPath, d.AddRootButton, d.ListBoxRoots, d.RemoveRootButton, d.ShowStatCheckBox,
         d.ShowCatContCheckBox, d.IndexCssURL, d.SendServerHeaderCheckBox, d.AEASCCheckBox,
         d.Language},
        {d.LogSessionsCheckBox, d.LogConnectsCheckBox, d.LogFilesCheckBox, d.LogHeadersCheckBox,
         d.LogDebugCheckBox, d.LogRemoteHostsCheckBox},
        {d.UseIPFilteringCheckBox, d.TestipfiltButton, d.IPFiltersListBox, d.IPFilterAdd,
         d.IPFilterEdit, d.IPFilterRemove, d.IPFiltersClear},
        {d.ECGICheckBox, d.CGIDir, d.RestoreDefCGIDirButton, d.USCGIFCheckBox, d.SeparateCGIFolder,
         d.DNICGICheckBox, d.CGIAssocListBox, d.CGIAssocAdd, d.CGIAssocEdit, d.CGIAssocRemove,
         d.CGIAssocClear},
        {d.DPAFCheckBox, d.DIPIVCheckBox, d.DuplicateIPVar},
    };
    d.PageControl1->setCurrentIndex(page);
    ActivateDialog();
    std::vector<QWidget*> expected = pages[static_cast<size_t>(page)];
    expected.insert(expected.end(), {d.OKButton, d.CancelButton,
                                     d.PageControl1->findChild<QTabBar*>(), expected.front()});
    std::vector<QWidget*> seen = {QApplication::focusWidget()};
    for (size_t i = 1; i < expected.size(); ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      seen.push_back(QApplication::focusWidget());
    }
    EXPECT_EQ(seen, expected);
  }
}

TEST_F(OptionsDialog, CancelDropsEveryEditListsIncluded) {
  Form->WrongIPs = {"1.2.3.4"};
  Form->CGIAssoc = {"pl:perl"};
  Form->Roots = {"/a"};
  Form->UIPF = true;
  Form->RC = Utf8ToCp1251(Dir.Path());
  ShowDialog();
  InputAnswers = {{true, "5.6.7.8"}};
  Dialog->IPFilterAddClick();
  MessageAnswers = {mrYes};
  Dialog->CGIAssocClearClick();
  Dialog->ListBoxRoots->setCurrentRow(0);
  Dialog->RemoveRootButtonClick();
  Dialog->RootPath->setText("/elsewhere");
  ASSERT_EQ(Dialog->IPFiltersListBox->count(), 2);
  ASSERT_EQ(Dialog->CGIAssocListBox->count(), 0);
  TFileWrites writes(Dir.Path(), "HKLM.reg");
  QTest::keyClick(Dialog.get(), Qt::Key_Escape);
  EXPECT_FALSE(Dialog->isVisible());
  EXPECT_EQ(Form->WrongIPs, (std::vector<std::string>{"1.2.3.4"}));
  EXPECT_EQ(Form->CGIAssoc, (std::vector<std::string>{"pl:perl"}));
  EXPECT_EQ(Form->Roots, (std::vector<std::string>{"/a"}));
  EXPECT_EQ(Form->RC, Utf8ToCp1251(Dir.Path()));
  EXPECT_EQ(writes.Count(), 0);

  ShowDialog();
  EXPECT_EQ(Items(Dialog->IPFiltersListBox), (std::vector<std::string>{"1.2.3.4"}));
  EXPECT_EQ(Items(Dialog->CGIAssocListBox), (std::vector<std::string>{"pl:perl"}));
  EXPECT_EQ(Items(Dialog->ListBoxRoots), (std::vector<std::string>{"/a"}));
  EXPECT_EQ(U(Dialog->RootPath->text()), Dir.Path());
}

TEST_F(OptionsDialog, ReopensOnTheTabLastUsed) {
  ShowDialog();
  Dialog->PageControl1->setCurrentIndex(3);
  Dialog->CancelButton->click();
  ShowDialog();
  EXPECT_EQ(Dialog->PageControl1->currentIndex(), 3);
}

TEST_F(OptionsDialog, ModalRunEndsWithOkFromTheKeyboard) {
  Form->RC = Utf8ToCp1251(Dir.Path());
  Form->SSH = false;
  QTimer::singleShot(0, [this] {
    Dialog->SendServerHeaderCheckBox->setChecked(true);
    QTest::keyClick(Dialog->RootPath, Qt::Key_Return);  // Enter presses the default button
  });
  EXPECT_EQ(Dialog->exec(), QDialog::Accepted);
  EXPECT_TRUE(Form->SSH);
}

TEST_F(OptionsDialog, ScreenshotOfEveryTab) {
  Form->WrongIPs = {"192.168.*.*", "10.1.1.0-10.1.3.255"};
  Form->UIPF = true;
  Form->CGIAssoc = {"pl,cgi:/usr/bin/perl", "py:/usr/bin/python3"};
  Form->Roots = {"/srv/www", "/home/user/public_html"};
  Form->RC = "/srv/www";
  ShowDialog();
  const QString folder = QStringLiteral(TEST_HELPER_DIR);
  const char* names[] = {"main", "logs", "ip-filtering", "cgi", "compatibility"};
  for (int i = 0; i < 5; ++i) {
    Dialog->PageControl1->setCurrentIndex(i);
    QApplication::processEvents();
    const QString file = folder + "/options-" + names[i] + ".png";
    EXPECT_TRUE(Dialog->grab().save(file)) << U(file);
  }
}

}  // namespace
