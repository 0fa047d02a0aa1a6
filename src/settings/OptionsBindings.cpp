// Which control of the options dialog edits which setting: one table drives both showing the
// settings in the dialog and storing the controls back at OK. A new setting needs its control
// on a tab and a row here; how it is stored is its row in the store's table.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "app/ServerCore.h"
#include "platform/Codec.h"
#include "settings/OptionsPaths.h"
#include "settings/Unit2.h"

namespace {

enum class TBindKind { Check, Entry, Choice, List };

using TStringList = std::vector<std::string>;

// One control and the setting it edits. An entry may carry the rule that normalises its text at
// OK; the entry then shows the normalised text as well.
struct TOptionBinding {
  TBindKind Kind;
  QCheckBox* TOptionsForm::*Box = nullptr;
  bool TServerCore::*Flag = nullptr;
  QLineEdit* TOptionsForm::*Entry = nullptr;
  std::string TServerCore::*Text = nullptr;
  std::string (*Normalise)(std::string) = nullptr;
  QComboBox* TOptionsForm::*Choice = nullptr;
  int32_t TServerCore::*Number = nullptr;
  QListWidget* TOptionsForm::*ListBox = nullptr;
  TStringList TServerCore::*List = nullptr;
};

TOptionBinding CheckRow(QCheckBox* TOptionsForm::*box, bool TServerCore::*flag) {
  TOptionBinding row{TBindKind::Check};
  row.Box = box;
  row.Flag = flag;
  return row;
}
TOptionBinding EntryRow(QLineEdit* TOptionsForm::*entry, std::string TServerCore::*text,
                        std::string (*normalise)(std::string) = nullptr) {
  TOptionBinding row{TBindKind::Entry};
  row.Entry = entry;
  row.Text = text;
  row.Normalise = normalise;
  return row;
}
TOptionBinding ChoiceRow(QComboBox* TOptionsForm::*choice, int32_t TServerCore::*number) {
  TOptionBinding row{TBindKind::Choice};
  row.Choice = choice;
  row.Number = number;
  return row;
}
TOptionBinding ListRow(QListWidget* TOptionsForm::*listBox, TStringList TServerCore::*list) {
  TOptionBinding row{TBindKind::List};
  row.ListBox = listBox;
  row.List = list;
  return row;
}

// In this order the controls are loaded on show and the settings are set at OK.
const std::array<TOptionBinding, 26> kBindings = {{
    EntryRow(&TOptionsForm::RootPath, &TServerCore::RC),
    ChoiceRow(&TOptionsForm::Language, &TServerCore::L),
    CheckRow(&TOptionsForm::ShowStatCheckBox, &TServerCore::SRS),
    CheckRow(&TOptionsForm::ShowCatContCheckBox, &TServerCore::SCC),
    CheckRow(&TOptionsForm::HideOnStartCheckBox, &TServerCore::HOS),
    CheckRow(&TOptionsForm::LogSessionsCheckBox, &TServerCore::LS),
    CheckRow(&TOptionsForm::LogConnectsCheckBox, &TServerCore::LC),
    CheckRow(&TOptionsForm::LogFilesCheckBox, &TServerCore::LF),
    CheckRow(&TOptionsForm::LogHeadersCheckBox, &TServerCore::LH),
    CheckRow(&TOptionsForm::LogDebugCheckBox, &TServerCore::LD),
    CheckRow(&TOptionsForm::LogRemoteHostsCheckBox, &TServerCore::LRH),
    CheckRow(&TOptionsForm::UseIPFilteringCheckBox, &TServerCore::UIPF),
    ListRow(&TOptionsForm::IPFiltersListBox, &TServerCore::WrongIPs),
    CheckRow(&TOptionsForm::SendServerHeaderCheckBox, &TServerCore::SSH),
    EntryRow(&TOptionsForm::IndexCssURL, &TServerCore::ICURL),
    CheckRow(&TOptionsForm::ECGICheckBox, &TServerCore::ECGI),
    EntryRow(&TOptionsForm::CGIDir, &TServerCore::CGID, NormaliseCgiDir),
    CheckRow(&TOptionsForm::USCGIFCheckBox, &TServerCore::USCGIF),
    EntryRow(&TOptionsForm::SeparateCGIFolder, &TServerCore::SCGIF),
    CheckRow(&TOptionsForm::DNICGICheckBox, &TServerCore::DNICGI),
    CheckRow(&TOptionsForm::DPAFCheckBox, &TServerCore::DPAF),
    CheckRow(&TOptionsForm::AEASCCheckBox, &TServerCore::AEASC),
    CheckRow(&TOptionsForm::DIPIVCheckBox, &TServerCore::DIPIV),
    EntryRow(&TOptionsForm::DuplicateIPVar, &TServerCore::DIPV),
    ListRow(&TOptionsForm::CGIAssocListBox, &TServerCore::CGIAssoc),
    ListRow(&TOptionsForm::ListBoxRoots, &TServerCore::Roots),
}};

QString ToQ(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }
std::string FromQ(const QString& text) { return Utf8ToCp1251(text.toStdString()); }

}  // namespace

void TOptionsForm::LoadControls(const TServerCore& server) {
  for (const TOptionBinding& row : kBindings) {
    switch (row.Kind) {
      case TBindKind::Check:
        (this->*row.Box)->setChecked(server.*row.Flag);
        break;
      case TBindKind::Entry:
        (this->*row.Entry)->setText(ToQ(server.*row.Text));
        break;
      case TBindKind::Choice:
        (this->*row.Choice)->setCurrentIndex(server.*row.Number);
        break;
      case TBindKind::List: {
        QListWidget* list = this->*row.ListBox;
        list->clear();
        for (const std::string& item : server.*row.List) list->addItem(ToQ(item));
        break;
      }
    }
  }
}

void TOptionsForm::StoreControls(TServerCore& server) {
  for (const TOptionBinding& row : kBindings) {
    switch (row.Kind) {
      case TBindKind::Check:
        server.*row.Flag = (this->*row.Box)->isChecked();
        break;
      case TBindKind::Entry: {
        QLineEdit* entry = this->*row.Entry;
        if (row.Normalise) entry->setText(ToQ(row.Normalise(FromQ(entry->text()))));
        server.*row.Text = FromQ(entry->text());
        break;
      }
      case TBindKind::Choice: {
        // A box without a selection (a stored value outside the list) keeps the value in force
        // instead of storing "nothing selected".
        const int selected = (this->*row.Choice)->currentIndex();
        if (selected >= 0) server.*row.Number = selected;
        break;
      }
      case TBindKind::List: {
        const QListWidget* list = this->*row.ListBox;
        TStringList items;
        items.reserve(static_cast<size_t>(list->count()));
        for (int i = 0; i < list->count(); ++i) items.push_back(FromQ(list->item(i)->text()));
        server.*row.List = std::move(items);
        break;
      }
    }
  }
}
