// The options dialog's list editors (masks, CGI associations, root paths) and the filter test.
// They change only the list boxes, which are working copies until OK.
#include <QLineEdit>
#include <QListWidget>
#include <string>

#include "app/Unit1.h"
#include "filter/IpFilter.h"
#include "options/OptionsPaths.h"
#include "options/OptionsTexts.h"
#include "options/Unit2.h"
#include "platform/Codec.h"

namespace {

QString ToQ(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }
std::string FromQ(const QString& text) { return Utf8ToCp1251(text.toStdString()); }

// The selected item's row, -1 when none is selected (the current row alone does not count:
// the view may have one without the user having picked anything).
int SelectedRow(const QListWidget* list) {
  const QList<QListWidgetItem*> selected = list->selectedItems();
  return selected.isEmpty() ? -1 : list->row(selected.first());
}

void RemoveRow(QListWidget* list, int row) {
  delete list->takeItem(row);
  // Nothing stays selected, so a second press cannot silently delete the neighbour.
  list->clearSelection();
}

// Asks for a mask until it holds only allowed characters; a rejected entry reopens the box with
// its text so the user can correct it rather than retype it. False on Cancel.
[[nodiscard]] bool AskMask(TOptionsInput box, int language, std::string& mask) {
  for (;;) {
    if (!AskOptionsInput(box, language, mask)) return false;
    if (!HasWrongChars(mask, false)) return true;
    ShowOptionsMessage(TOptionsMsg::BadMaskChars, language);
  }
}

// Both parts of an association, each in its own box. False when either box is cancelled or an
// empty part was reported.
[[nodiscard]] bool AskAssociation(TOptionsInput extensionsBox, TOptionsInput programBox,
                                  int language, std::string& extensions, std::string& program) {
  if (!AskOptionsInput(extensionsBox, language, extensions)) return false;
  if (!AskOptionsInput(programBox, language, program)) return false;
  if (extensions.empty() || program.empty()) {
    ShowOptionsMessage(TOptionsMsg::EmptyAssocPart, language);
    return false;
  }
  return true;
}

}  // namespace

void TOptionsForm::IPFilterAddClick() {
  std::string mask;
  if (AskMask(TOptionsInput::AddMask, FMainForm->L, mask)) IPFiltersListBox->addItem(ToQ(mask));
}

void TOptionsForm::IPFilterEditClick() {
  const int row = SelectedRow(IPFiltersListBox);
  if (row < 0) {
    ShowOptionsMessage(TOptionsMsg::NoMaskToEdit, FMainForm->L);
    return;
  }
  std::string mask = FromQ(IPFiltersListBox->item(row)->text());
  if (AskMask(TOptionsInput::EditMask, FMainForm->L, mask))
    IPFiltersListBox->item(row)->setText(ToQ(mask));
}

void TOptionsForm::IPFiltersListBoxDblClick() { IPFilterEditClick(); }

void TOptionsForm::IPFilterRemoveClick() {
  const int row = SelectedRow(IPFiltersListBox);
  if (row < 0) {
    ShowOptionsMessage(TOptionsMsg::NoMaskToRemove, FMainForm->L);
    return;
  }
  RemoveRow(IPFiltersListBox, row);
}

void TOptionsForm::IPFiltersClearClick() {
  if (IPFiltersListBox->count() == 0) {
    ShowOptionsMessage(TOptionsMsg::MaskListEmpty, FMainForm->L);
    return;
  }
  if (ShowOptionsMessage(TOptionsMsg::ClearMaskList, FMainForm->L) == mrYes)
    IPFiltersListBox->clear();
}

void TOptionsForm::CGIAssocAddClick() {
  std::string extensions, program;
  if (AskAssociation(TOptionsInput::AddAssocExtensions, TOptionsInput::AddAssocProgram,
                     FMainForm->L, extensions, program))
    CGIAssocListBox->addItem(ToQ(extensions + ":" + program));
}

void TOptionsForm::CGIAssocEditClick() {
  const int row = SelectedRow(CGIAssocListBox);
  if (row < 0) {
    ShowOptionsMessage(TOptionsMsg::NoAssocToEdit, FMainForm->L);
    return;
  }
  auto [extensions, program] = SplitAssociation(FromQ(CGIAssocListBox->item(row)->text()));
  if (AskAssociation(TOptionsInput::EditAssocExtensions, TOptionsInput::EditAssocProgram,
                     FMainForm->L, extensions, program))
    CGIAssocListBox->item(row)->setText(ToQ(extensions + ":" + program));
}

void TOptionsForm::CGIAssocRemoveClick() {
  const int row = SelectedRow(CGIAssocListBox);
  if (row < 0) {
    ShowOptionsMessage(TOptionsMsg::NoAssocToRemove, FMainForm->L);
    return;
  }
  RemoveRow(CGIAssocListBox, row);
}

void TOptionsForm::CGIAssocClearClick() {
  if (CGIAssocListBox->count() == 0) {
    ShowOptionsMessage(TOptionsMsg::AssocListEmpty, FMainForm->L);
    return;
  }
  if (ShowOptionsMessage(TOptionsMsg::ClearAssocList, FMainForm->L) == mrYes)
    CGIAssocListBox->clear();
}

void TOptionsForm::AddRootButtonClick() {
  // Kept as typed: the list remembers what the user entered, OK normalises only the entry.
  if (RootPath->text().isEmpty()) {
    ShowOptionsMessage(TOptionsMsg::RootPathEmpty, FMainForm->L);
    return;
  }
  ListBoxRoots->addItem(RootPath->text());
}

void TOptionsForm::RemoveRootButtonClick() {
  const int row = SelectedRow(ListBoxRoots);
  if (row < 0) {
    ShowOptionsMessage(TOptionsMsg::NoRootToRemove, FMainForm->L);
    return;
  }
  RemoveRow(ListBoxRoots, row);
}

void TOptionsForm::ListBoxRootsClick() {
  const int row = SelectedRow(ListBoxRoots);
  if (row < 0) {
    ShowOptionsMessage(TOptionsMsg::NoRootSelected, FMainForm->L);
    return;
  }
  RootPath->setText(ListBoxRoots->item(row)->text());
}

void TOptionsForm::TestipfiltButtonClick() {
  // Cancelling either box ends the test: testing an address nobody entered tells nothing.
  std::string address;
  if (!AskOptionsInput(TOptionsInput::TestAddress, FMainForm->L, address)) return;
  if (HasWrongChars(address, true)) {
    ShowOptionsMessage(TOptionsMsg::TestBadAddress, FMainForm->L);
    return;
  }
  std::string mask;
  if (!AskOptionsInput(TOptionsInput::TestMask, FMainForm->L, mask)) return;
  if (HasWrongChars(mask, false)) {
    ShowOptionsMessage(TOptionsMsg::TestBadMask, FMainForm->L);
    return;
  }
  const bool denied = FMainForm->TestWrongIP(address, mask);
  ShowOptionsMessage(denied ? TOptionsMsg::TestDenied : TOptionsMsg::TestAllowed, FMainForm->L);
}
