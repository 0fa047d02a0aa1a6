// The options dialog's list editors and the filter test: which boxes they open, what they ask,
// what they refuse, and what they leave in the working copies.
#include <QLineEdit>
#include <QTest>
#include <QToolButton>
#include <functional>

#include "OptionsFixture.h"

namespace {

using TItems = std::vector<std::string>;

struct TEditorCase {
  const char* Name = "";
  int Language = 1;
  TItems Masks{}, Assocs{}, Roots{};  // the stored lists the dialog opens with
  std::function<void(TOptionsForm&)> Select{};
  std::function<void(TOptionsForm&)> Press{};
  std::vector<TInputAnswer> Answers{};
  std::vector<int> MessageAnswers{};
  std::vector<TAskedInput> ExpectedInputs{};
  std::vector<std::pair<const char*, TMsgDlgType>> ExpectedMessages{};  // caption, icon
  TItems ExpectedMasks{}, ExpectedAssocs{}, ExpectedRoots{};
};

void SelectRow(QListWidget* list, int row) { list->setCurrentRow(row); }

const std::vector<TEditorCase>& EditorCases() {
  static const std::vector<TEditorCase> cases = {
      {.Name = "mask with a space reopens with the rejected text",
       .Language = 1,
       .Press = [](TOptionsForm& d) { d.IPFilterAddClick(); },
       .Answers = {{true, "1.2.3.4 "}, {true, "1.2.3.4"}},
       .ExpectedInputs = {{"Adding an IP range", "Specify IP address mask:", ""},
                          {"Adding an IP range", "Specify IP address mask:", "1.2.3.4 "}},
       .ExpectedMessages = {{"Can`t accept this mask!", mtWarning}},
       .ExpectedMasks = {"1.2.3.4"}},
      {.Name = "mask loop ends on cancel after a refusal",
       .Language = 1,
       .Masks = {"9.9.9.9"},
       .Press = [](TOptionsForm& d) { d.IPFilterAddClick(); },
       .Answers = {{true, "a.b"}, {false, ""}},
       .ExpectedInputs = {{"Adding an IP range", "Specify IP address mask:", ""},
                          {"Adding an IP range", "Specify IP address mask:", "a.b"}},
       .ExpectedMessages = {{"Can`t accept this mask!", mtWarning}},
       .ExpectedMasks = {"9.9.9.9"}},
      {.Name = "empty and duplicate masks are appended",
       .Language = 1,
       .Masks = {"1.1.1.1"},
       .Press =
           [](TOptionsForm& d) {
             d.IPFilterAddClick();
             d.IPFilterAddClick();
           },
       .Answers = {{true, ""}, {true, "1.1.1.1"}},
       .ExpectedInputs = {{"Adding an IP range", "Specify IP address mask:", ""},
                          {"Adding an IP range", "Specify IP address mask:", ""}},
       .ExpectedMasks = {"1.1.1.1", "", "1.1.1.1"}},
      {.Name = "edit opens with the selected mask and replaces it in place",
       .Language = 1,
       .Masks = {"1.1.1.1", "2.2.2.2", "3.3.3.3"},
       .Select = [](TOptionsForm& d) { SelectRow(d.IPFiltersListBox, 1); },
       .Press = [](TOptionsForm& d) { d.IPFilterEditClick(); },
       .Answers = {{true, "2.*"}},
       .ExpectedInputs = {{"Editing an IP range", "Change IP address mask:", "2.2.2.2"}},
       .ExpectedMasks = {"1.1.1.1", "2.*", "3.3.3.3"}},
      {.Name = "double-click edits like the button",
       .Language = 1,
       .Masks = {"1.1.1.1"},
       .Select = [](TOptionsForm& d) { SelectRow(d.IPFiltersListBox, 0); },
       .Press = [](TOptionsForm& d) { d.IPFiltersListBoxDblClick(); },
       .Answers = {{true, "10-20.*"}},
       .ExpectedInputs = {{"Editing an IP range", "Change IP address mask:", "1.1.1.1"}},
       .ExpectedMasks = {"10-20.*"}},
      {.Name = "edit with nothing selected",
       .Language = 1,
       .Masks = {"1.1.1.1"},
       .Press = [](TOptionsForm& d) { d.IPFilterEditClick(); },
       .ExpectedMessages = {{"What to edit?", mtWarning}},
       .ExpectedMasks = {"1.1.1.1"}},
      {.Name = "remove deletes the selected mask without asking",
       .Language = 1,
       .Masks = {"1.1.1.1", "2.2.2.2"},
       .Select = [](TOptionsForm& d) { SelectRow(d.IPFiltersListBox, 0); },
       .Press = [](TOptionsForm& d) { d.IPFilterRemoveClick(); },
       .ExpectedMasks = {"2.2.2.2"}},
      {.Name = "remove twice does not take the neighbour",
       .Language = 1,
       .Masks = {"1.1.1.1", "2.2.2.2"},
       .Select = [](TOptionsForm& d) { SelectRow(d.IPFiltersListBox, 0); },
       .Press =
           [](TOptionsForm& d) {
             d.IPFilterRemoveClick();
             d.IPFilterRemoveClick();
           },
       .ExpectedMessages = {{"Dont know what to remove", mtWarning}},
       .ExpectedMasks = {"2.2.2.2"}},
      {.Name = "clear an empty mask list",
       .Language = 1,
       .Press = [](TOptionsForm& d) { d.IPFiltersClearClick(); },
       .ExpectedMessages = {{"There`s no thing to remove!", mtWarning}}},
      {.Name = "No keeps the masks",
       .Language = 1,
       .Masks = {"1.1.1.1"},
       .Press = [](TOptionsForm& d) { d.IPFiltersClearClick(); },
       .MessageAnswers = {mrNo},
       .ExpectedMessages = {{"Clearing the list", mtConfirmation}},
       .ExpectedMasks = {"1.1.1.1"}},
      {.Name = "Yes clears the masks",
       .Language = 1,
       .Masks = {"1.1.1.1", "2.2.2.2"},
       .Press = [](TOptionsForm& d) { d.IPFiltersClearClick(); },
       .MessageAnswers = {mrYes},
       .ExpectedMessages = {{"Clearing the list", mtConfirmation}}},
      {.Name = "association added from two boxes",
       .Language = 1,
       .Assocs = {"exe:run"},
       .Press = [](TOptionsForm& d) { d.CGIAssocAddClick(); },
       .Answers = {{true, "pl,cgi"}, {true, "/usr/bin/perl"}},
       .ExpectedInputs = {{"Adding CGI association, step 1",
                           "File extensions (comma-separated):", ""},
                          {"Adding CGI association, step 2",
                           "Name (or full path) of exe-application:", ""}},
       .ExpectedAssocs = {"exe:run", "pl,cgi:/usr/bin/perl"}},
      {.Name = "association with an empty program is refused",
       .Language = 1,
       .Press = [](TOptionsForm& d) { d.CGIAssocAddClick(); },
       .Answers = {{true, "pl"}, {true, ""}},
       .ExpectedInputs = {{"Adding CGI association, step 1",
                           "File extensions (comma-separated):", ""},
                          {"Adding CGI association, step 2",
                           "Name (or full path) of exe-application:", ""}},
       .ExpectedMessages = {{"YOU`VE MADE A MISTAKE!", mtWarning}}},
      {.Name = "association cancelled at the second step",
       .Language = 1,
       .Press = [](TOptionsForm& d) { d.CGIAssocAddClick(); },
       .Answers = {{true, "pl"}, {false, ""}},
       .ExpectedInputs = {{"Adding CGI association, step 1",
                           "File extensions (comma-separated):", ""},
                          {"Adding CGI association, step 2",
                           "Name (or full path) of exe-application:", ""}}},
      {.Name = "association cancelled at the first step asks no more",
       .Language = 1,
       .Press = [](TOptionsForm& d) { d.CGIAssocAddClick(); },
       .Answers = {{false, ""}},
       .ExpectedInputs = {{"Adding CGI association, step 1",
                           "File extensions (comma-separated):", ""}}},
      {.Name = "association edit splits at the first colon",
       .Language = 1,
       .Assocs = {"a", "pl:c:/perl/perl.exe"},
       .Select = [](TOptionsForm& d) { SelectRow(d.CGIAssocListBox, 1); },
       .Press = [](TOptionsForm& d) { d.CGIAssocEditClick(); },
       .Answers = {{true, "pl,plx"}, {true, "c:/perl/perl.exe"}},
       .ExpectedInputs = {{"Editing CGI association, step 1",
                           "File extensions (comma-separated):", "pl"},
                          {"Editing CGI association, step 2",
                           "Name (or full path) of exe-application:", "c:/perl/perl.exe"}},
       .ExpectedAssocs = {"a", "pl,plx:c:/perl/perl.exe"}},
      {.Name = "association without colon stays when its program stays empty",
       .Language = 1,
       .Assocs = {"pl"},
       .Select = [](TOptionsForm& d) { SelectRow(d.CGIAssocListBox, 0); },
       .Press = [](TOptionsForm& d) { d.CGIAssocEditClick(); },
       .Answers = {{true, "pl"}, {true, ""}},
       .ExpectedInputs = {{"Editing CGI association, step 1",
                           "File extensions (comma-separated):", "pl"},
                          {"Editing CGI association, step 2",
                           "Name (or full path) of exe-application:", ""}},
       .ExpectedMessages = {{"YOU`VE MADE A MISTAKE!", mtWarning}},
       .ExpectedAssocs = {"pl"}},
      {.Name = "association edit with nothing selected",
       .Language = 1,
       .Assocs = {"pl:perl"},
       .Press = [](TOptionsForm& d) { d.CGIAssocEditClick(); },
       .ExpectedMessages = {{"What to edit?", mtWarning}},
       .ExpectedAssocs = {"pl:perl"}},
      {.Name = "association remove with nothing selected",
       .Language = 1,
       .Assocs = {"pl:perl"},
       .Press = [](TOptionsForm& d) { d.CGIAssocRemoveClick(); },
       .ExpectedMessages = {{"Dont know what to remove", mtWarning}},
       .ExpectedAssocs = {"pl:perl"}},
      {.Name = "association removed",
       .Language = 1,
       .Assocs = {"pl:perl", "py:python"},
       .Select = [](TOptionsForm& d) { SelectRow(d.CGIAssocListBox, 1); },
       .Press = [](TOptionsForm& d) { d.CGIAssocRemoveClick(); },
       .ExpectedAssocs = {"pl:perl"}},
      {.Name = "clear an empty association list",
       .Language = 1,
       .Press = [](TOptionsForm& d) { d.CGIAssocClearClick(); },
       .ExpectedMessages = {{"There`s no thing to remove!", mtWarning}}},
      {.Name = "No keeps the associations",
       .Language = 1,
       .Assocs = {"pl:perl"},
       .Press = [](TOptionsForm& d) { d.CGIAssocClearClick(); },
       .MessageAnswers = {mrNo},
       .ExpectedMessages = {{"Clearing CGI associations", mtConfirmation}},
       .ExpectedAssocs = {"pl:perl"}},
      {.Name = "Yes clears the associations",
       .Language = 1,
       .Assocs = {"pl:perl"},
       .Press = [](TOptionsForm& d) { d.CGIAssocClearClick(); },
       .MessageAnswers = {mrYes},
       .ExpectedMessages = {{"Clearing CGI associations", mtConfirmation}}},
      {.Name = "root path added as typed",
       .Language = 1,
       .Roots = {"/a"},
       .Select = [](TOptionsForm& d) { d.RootPath->setText("/srv/www/"); },
       .Press =
           [](TOptionsForm& d) {
             d.AddRootButtonClick();
             d.AddRootButtonClick();
           },
       .ExpectedRoots = {"/a", "/srv/www/", "/srv/www/"}},
      {.Name = "empty root path is not added",
       .Language = 1,
       .Select = [](TOptionsForm& d) { d.RootPath->clear(); },
       .Press = [](TOptionsForm& d) { d.AddRootButtonClick(); },
       .ExpectedMessages = {{"ERROR", mtError}}},
      {.Name = "root remove with nothing selected",
       .Language = 1,
       .Roots = {"/a"},
       .Press = [](TOptionsForm& d) { d.RemoveRootButtonClick(); },
       .ExpectedMessages = {{"Dont know what to remove", mtWarning}},
       .ExpectedRoots = {"/a"}},
      {.Name = "root removed",
       .Language = 1,
       .Roots = {"/a", "/b"},
       .Select = [](TOptionsForm& d) { SelectRow(d.ListBoxRoots, 0); },
       .Press = [](TOptionsForm& d) { d.RemoveRootButtonClick(); },
       .ExpectedRoots = {"/b"}},
      {.Name = "root click with nothing selected",
       .Language = 1,
       .Roots = {"/a"},
       .Press = [](TOptionsForm& d) { d.ListBoxRootsClick(); },
       .ExpectedMessages = {{"ERROR", mtWarning}},
       .ExpectedRoots = {"/a"}},
      {.Name = "Russian texts when the language is Russian",
       .Language = 0,
       .Masks = {"1.1.1.1"},
       .Select = [](TOptionsForm& d) { SelectRow(d.IPFiltersListBox, 0); },
       .Press = [](TOptionsForm& d) { d.IPFilterEditClick(); },
       .Answers = {{true, "1 1"}, {false, ""}},
       .ExpectedInputs = {{"Изменение диапазона IP", "Отредактируйте маску IP-адресов:", "1.1.1.1"},
                          {"Изменение диапазона IP", "Отредактируйте маску IP-адресов:", "1 1"}},
       .ExpectedMessages = {{"Не могу принять такую маску!", mtWarning}},
       .ExpectedMasks = {"1.1.1.1"}},
      {.Name = "Russian association texts",
       .Language = 0,
       .Press = [](TOptionsForm& d) { d.CGIAssocEditClick(); },
       .ExpectedMessages = {{"Что изменять-то?", mtWarning}}},
      {.Name = "English for every other language",
       .Language = 2,
       .Press = [](TOptionsForm& d) { d.CGIAssocClearClick(); },
       .ExpectedMessages = {{"There`s no thing to remove!", mtWarning}}},
  };
  return cases;
}

class OptionsLists : public OptionsFixture {};

TEST_F(OptionsLists, EditorsAskRefuseAndChangeOnlyTheWorkingCopies) {
  for (const TEditorCase& c : EditorCases()) {
    SCOPED_TRACE(c.Name);
    Dialog->hide();
    Form->L = c.Language;
    Form->UIPF = true;
    Form->WrongIPs = c.Masks;
    Form->CGIAssoc = c.Assocs;
    Form->Roots = c.Roots;
    ShowDialog();
    Messages.clear();
    Inputs.clear();
    InputAnswers.assign(c.Answers.begin(), c.Answers.end());
    MessageAnswers.assign(c.MessageAnswers.begin(), c.MessageAnswers.end());
    if (c.Select) c.Select(*Dialog);
    c.Press(*Dialog);

    ASSERT_EQ(Inputs.size(), c.ExpectedInputs.size());
    for (size_t i = 0; i < Inputs.size(); ++i) {
      EXPECT_EQ(Inputs[i].Caption, c.ExpectedInputs[i].Caption) << i;
      EXPECT_EQ(Inputs[i].Prompt, c.ExpectedInputs[i].Prompt) << i;
      EXPECT_EQ(Inputs[i].Opening, c.ExpectedInputs[i].Opening) << i;
    }
    ASSERT_EQ(Messages.size(), c.ExpectedMessages.size());
    for (size_t i = 0; i < Messages.size(); ++i) {
      EXPECT_EQ(Messages[i].Caption, c.ExpectedMessages[i].first) << i;
      EXPECT_EQ(Messages[i].Type, c.ExpectedMessages[i].second) << i;
      EXPECT_EQ(Messages[i].Buttons,
                c.ExpectedMessages[i].second == mtConfirmation ? mbYesNo : mbOK)
          << i;
    }
    EXPECT_EQ(Items(Dialog->IPFiltersListBox), c.ExpectedMasks);
    EXPECT_EQ(Items(Dialog->CGIAssocListBox), c.ExpectedAssocs);
    EXPECT_EQ(Items(Dialog->ListBoxRoots), c.ExpectedRoots);
    // Nothing reaches the server before OK.
    EXPECT_EQ(Form->WrongIPs, c.Masks);
    EXPECT_EQ(Form->CGIAssoc, c.Assocs);
    EXPECT_EQ(Form->Roots, c.Roots);
  }
}

TEST_F(OptionsLists, MessageTextsAreExactWithTheirLineBreaks) {
  Form->L = 1;
  ShowDialog();
  Dialog->IPFiltersClearClick();
  Dialog->CGIAssocAddClick();
  InputAnswers = {{true, "x"}, {true, ""}};
  Dialog->CGIAssocAddClick();
  Dialog->RootPath->clear();
  Dialog->AddRootButtonClick();
  ASSERT_EQ(Messages.size(), 3u);
  EXPECT_EQ(Messages[0].Text, "IP ranges list is empty");
  EXPECT_EQ(Messages[1].Text, "Empty strings are not allowed\nAssociation has NOT been added!");
  EXPECT_EQ(Messages[2].Text, "Fill 'Server root path' field please");
  Form->L = 0;
  Messages.clear();
  MessageAnswers = {mrNo};
  Dialog->IPFilterAddClick();  // cancelled: nothing
  Dialog->IPFiltersListBox->addItem("1.1.1.1");
  Dialog->IPFiltersClearClick();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "Будут удалены все показанные диапазоны!\nПодтверждаете?");
  EXPECT_EQ(Dialog->IPFiltersListBox->count(), 1);
}

TEST_F(OptionsLists, ClickingARootCopiesItIntoTheRootPath) {
  Form->Roots = {"/srv/a", "/srv/b/"};
  ShowDialog();
  Dialog->ListBoxRoots->setCurrentRow(1);
  Dialog->ListBoxRootsClick();
  EXPECT_EQ(U(Dialog->RootPath->text()), "/srv/b/");
  // The same through a real mouse click on the first item.
  const QRect r = Dialog->ListBoxRoots->visualItemRect(Dialog->ListBoxRoots->item(0));
  QTest::mouseClick(Dialog->ListBoxRoots->viewport(), Qt::LeftButton, {}, r.center());
  QApplication::processEvents();
  EXPECT_EQ(U(Dialog->RootPath->text()), "/srv/a");
  EXPECT_TRUE(Messages.empty());
}

// Only the left button clicks, and a key clicks only when it moves the selection: a right click
// or an arrow key in an empty list is no click that leaves nothing selected.
TEST_F(OptionsLists, RootListClicksAreLeftButtonAndSelectionMovesOnly) {
  struct TCase {
    const char* Name;
    TItems Roots;
    std::function<void(QListWidget*)> Act;
    const char* RootPath;  // what the root path field holds afterwards
    size_t Messages;
  };
  auto click = [](Qt::MouseButton button, int row) {
    return [button, row](QListWidget* list) {
      const QPoint at = row < 0
                            ? QPoint(list->viewport()->width() / 2, list->viewport()->height() - 4)
                            : list->visualItemRect(list->item(row)).center();
      QTest::mouseClick(list->viewport(), button, {}, at);
    };
  };
  auto key = [](Qt::Key k) { return [k](QListWidget* list) { QTest::keyClick(list, k); }; };
  const TCase cases[] = {
      {"right click in the empty list", {}, click(Qt::RightButton, -1), "/start", 0},
      {"right click on an item", {"/srv/a", "/srv/b"}, click(Qt::RightButton, 1), "/start", 0},
      {"middle click on an item", {"/srv/a", "/srv/b"}, click(Qt::MiddleButton, 1), "/start", 0},
      {"arrow key in the empty list", {}, key(Qt::Key_Down), "/start", 0},
      {"End in the empty list", {}, key(Qt::Key_End), "/start", 0},
      {"left click in the empty list", {}, click(Qt::LeftButton, -1), "/start", 1},
      {"left click on an item", {"/srv/a", "/srv/b"}, click(Qt::LeftButton, 1), "/srv/b", 0},
      {"arrow key moving the selection", {"/srv/a", "/srv/b"}, key(Qt::Key_Down), "/srv/a", 0},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Messages.clear();
    Form->Roots = c.Roots;
    Form->RC = "/start";
    Dialog->hide();
    ShowDialog();
    Dialog->ListBoxRoots->setFocus();
    c.Act(Dialog->ListBoxRoots);
    QApplication::processEvents();
    EXPECT_EQ(U(Dialog->RootPath->text()), c.RootPath);
    EXPECT_EQ(Messages.size(), c.Messages);
  }
}

struct TFilterTestCase {
  const char* Name;
  std::vector<TInputAnswer> Answers;
  size_t Boxes;         // input boxes shown
  const char* Caption;  // nullptr: no message
  const char* Text;
  TMsgDlgType Type;
};

TEST_F(OptionsLists, FilterTestAnswersInEnglishWhateverTheLanguage) {
  const TFilterTestCase rows[] = {
      {"match",
       {{true, "10.1.2.3"}, {true, "10.1.*.*"}},
       2,
       "Test result",
       "TForm1::TestWrongIP()==true (denied IP)",
       mtInformation},
      {"range match",
       {{true, "111.222.111.222"}, {true, "111-222.111-222.111-222.111-222"}},
       2,
       "Test result",
       "TForm1::TestWrongIP()==true (denied IP)",
       mtInformation},
      {"no match",
       {{true, "110.222.111.222"}, {true, "111-222.111-222.111-222.111-222"}},
       2,
       "Test result",
       "TForm1::TestWrongIP()==false (allowed IP)",
       mtInformation},
      {"wildcard in the address",
       {{true, "10.1.2.*"}},
       1,
       "Can`t test",
       "This is not a valid [fake] IP",
       mtWarning},
      {"space in the mask",
       {{true, "10.1.2.3"}, {true, "10.1.2.3 "}},
       2,
       "Can`t test",
       "Wrong characters found in this [fake] IP range",
       mtWarning},
      {"cancel at the address", {{false, ""}}, 1, nullptr, nullptr, mtWarning},
      {"cancel at the mask", {{true, "10.1.2.3"}, {false, ""}}, 2, nullptr, nullptr, mtWarning},
  };
  for (int language : {0, 1}) {
    Form->L = language;
    Form->UIPF = false;  // the test works whatever the filter's own state
    ShowDialog();
    for (const TFilterTestCase& row : rows) {
      SCOPED_TRACE(std::string(row.Name) + " L=" + std::to_string(language));
      Messages.clear();
      Inputs.clear();
      InputAnswers.assign(row.Answers.begin(), row.Answers.end());
      Dialog->TestipfiltButton->click();
      ASSERT_EQ(Inputs.size(), row.Boxes);
      EXPECT_EQ(Inputs[0].Caption, "enter [fake] IP");
      EXPECT_EQ(Inputs[0].Prompt, "");
      EXPECT_EQ(Inputs[0].Opening, "");
      if (row.Boxes > 1) {
        EXPECT_EQ(Inputs[1].Caption, "enter [fake] IP filtering mask");
      }
      if (!row.Caption) {
        EXPECT_TRUE(Messages.empty());
        continue;
      }
      ASSERT_EQ(Messages.size(), 1u);
      EXPECT_EQ(Messages[0].Caption, row.Caption);
      EXPECT_EQ(Messages[0].Text, row.Text);
      EXPECT_EQ(Messages[0].Type, row.Type);
    }
    Dialog->hide();
  }
}

}  // namespace
