// Which control of the options dialog edits which setting: one table drives both showing the
// settings in the dialog and storing the controls back at OK, and makes the dialog's check
// boxes. A new boolean setting needs only its row here, which places and labels its box, and its
// row in the store's table; a setting of another kind also needs its control on a tab.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QVBoxLayout>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "core/ServerCore.h"
#include "options/OptionsPaths.h"
#include "options/Unit2.h"
#include "platform/Codec.h"
#include "ui/Languages.h"

namespace {

enum class TBindKind { Check, Entry, Choice, List };

using TStringList = std::vector<std::string>;

constexpr int kNoLanguageRow = -1;

// One control and the setting it edits. An entry may carry the rule that normalises its text at
// OK; the entry then shows the normalised text as well. A check box is made from its row: where
// it stands, its design text (UTF-8), the row of the language table that relabels it, whether
// the user may change it, and the dialog's name for it where a handler needs one.
struct TOptionBinding {
  TBindKind Kind;
  QCheckBox* TOptionsForm::*Box = nullptr;
  bool TServerCore::*Flag = nullptr;
  TBoxPlace Place = TBoxPlace::Count;
  const char* Caption = nullptr;
  int LanguageRow = kNoLanguageRow;
  bool Editable = true;
  QLineEdit* TOptionsForm::*Entry = nullptr;
  std::string TServerCore::*Text = nullptr;
  std::string (*Normalise)(std::string) = nullptr;
  QComboBox* TOptionsForm::*Choice = nullptr;
  int32_t TServerCore::*Number = nullptr;
  QListWidget* TOptionsForm::*ListBox = nullptr;
  TStringList TServerCore::*List = nullptr;
};

TOptionBinding CheckRow(bool TServerCore::*flag, TBoxPlace place, const char* caption,
                        int languageRow, QCheckBox* TOptionsForm::*name = nullptr) {
  TOptionBinding row{TBindKind::Check};
  row.Flag = flag;
  row.Place = place;
  row.Caption = caption;
  row.LanguageRow = languageRow;
  row.Box = name;
  return row;
}
// A box that shows its setting and writes it back unchanged.
TOptionBinding ShownOnly(TOptionBinding row) {
  row.Editable = false;
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

// In this order the controls are loaded on show and the settings are set at OK; the check boxes
// of one place stand in this order, top to bottom.
const auto kBindings = std::to_array<TOptionBinding>({
    EntryRow(&TOptionsForm::RootPath, &TServerCore::RC),
    ChoiceRow(&TOptionsForm::Language, &TServerCore::L),
    CheckRow(&TServerCore::SRS, TBoxPlace::MainUnderRoots, "Monitor statistics at runtime",
             lrShowStat, &TOptionsForm::ShowStatCheckBox),
    CheckRow(&TServerCore::SCC, TBoxPlace::MainUnderRoots,
             "Show catalog contents when no index file exist", lrShowCatCont,
             &TOptionsForm::ShowCatContCheckBox),
    ShownOnly(CheckRow(&TServerCore::HOS, TBoxPlace::MainUnderStyleSheet,
                       "Hide in system tray when start", lrHideOnStart,
                       &TOptionsForm::HideOnStartCheckBox)),
    CheckRow(&TServerCore::LS, TBoxPlace::Logs, "sessions", lrLogSessions,
             &TOptionsForm::LogSessionsCheckBox),
    CheckRow(&TServerCore::LC, TBoxPlace::Logs, "connections", lrLogConnects,
             &TOptionsForm::LogConnectsCheckBox),
    CheckRow(&TServerCore::LF, TBoxPlace::Logs, "requested files (paths)", lrLogFiles,
             &TOptionsForm::LogFilesCheckBox),
    CheckRow(&TServerCore::LH, TBoxPlace::Logs, "client request headers", lrLogHeaders,
             &TOptionsForm::LogHeadersCheckBox),
    CheckRow(&TServerCore::LD, TBoxPlace::Logs, "(debug info)", lrLogDebug,
             &TOptionsForm::LogDebugCheckBox),
    CheckRow(&TServerCore::LRH, TBoxPlace::Logs, "remote hosts", lrLogRemoteHosts,
             &TOptionsForm::LogRemoteHostsCheckBox),
    CheckRow(&TServerCore::UIPF, TBoxPlace::IPFilterTop,
             "Do not permit connections from following IPs:", lrUseIPFiltering,
             &TOptionsForm::UseIPFilteringCheckBox),
    ListRow(&TOptionsForm::IPFiltersListBox, &TServerCore::WrongIPs),
    CheckRow(&TServerCore::SSH, TBoxPlace::MainUnderStyleSheet, "Send \"Server:\" HTTP header",
             lrSendServerHeader, &TOptionsForm::SendServerHeaderCheckBox),
    EntryRow(&TOptionsForm::IndexCssURL, &TServerCore::ICURL),
    CheckRow(&TServerCore::ECGI, TBoxPlace::CgiTop, "Enable CGI", lrECGI,
             &TOptionsForm::ECGICheckBox),
    EntryRow(&TOptionsForm::CGIDir, &TServerCore::CGID, NormaliseCgiDir),
    CheckRow(&TServerCore::USCGIF, TBoxPlace::CgiUnderDir,
             "Use separate folder for CGI dir:", lrUSCGIF, &TOptionsForm::USCGIFCheckBox),
    EntryRow(&TOptionsForm::SeparateCGIFolder, &TServerCore::SCGIF),
    CheckRow(&TServerCore::DNICGI, TBoxPlace::CgiUnderFolder,
             "Denie access to non-programs in CGI dir", lrDNICGI, &TOptionsForm::DNICGICheckBox),
    CheckRow(&TServerCore::DPAF, TBoxPlace::CompatibilityTop,
             "File which name begins with point is inaccessible (like in Apache)", lrDPAF,
             &TOptionsForm::DPAFCheckBox),
    CheckRow(&TServerCore::AEASC, TBoxPlace::MainUnderStyleSheet,
             "Report all HTTP errors as status codes", lrAEASC, &TOptionsForm::AEASCCheckBox),
    CheckRow(&TServerCore::DIPIV, TBoxPlace::CompatibilityTop,
             "Duplicate IP for CGI applications in variable:", lrDIPIV,
             &TOptionsForm::DIPIVCheckBox),
    EntryRow(&TOptionsForm::DuplicateIPVar, &TServerCore::DIPV),
    ListRow(&TOptionsForm::CGIAssocListBox, &TServerCore::CGIAssoc),
    ListRow(&TOptionsForm::ListBoxRoots, &TServerCore::Roots),
});

QString ToQ(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }
std::string FromQ(const QString& text) { return Utf8ToCp1251(text.toStdString()); }

}  // namespace

void TOptionsForm::CreateCheckBoxes(const std::array<QVBoxLayout*, kBoxPlaceCount>& places) {
  FCheckBoxes.assign(kBindings.size(), nullptr);
  for (size_t i = 0; i < kBindings.size(); ++i) {
    const TOptionBinding& row = kBindings[i];
    if (row.Kind != TBindKind::Check) continue;
    QVBoxLayout* place = places[static_cast<size_t>(row.Place)];
    auto* box = new QCheckBox(QString::fromUtf8(row.Caption), place->parentWidget());
    box->setEnabled(row.Editable);
    place->addWidget(box);
    FCheckBoxes[i] = box;
    if (row.Box) this->*row.Box = box;
  }
}

QCheckBox* TOptionsForm::CheckBoxOfLanguageRow(int languageRow) const {
  for (size_t i = 0; i < kBindings.size(); ++i)
    if (kBindings[i].Kind == TBindKind::Check && kBindings[i].LanguageRow == languageRow)
      return FCheckBoxes[i];
  return nullptr;
}

void TOptionsForm::LoadControls(const TServerCore& server) {
  for (size_t i = 0; i < kBindings.size(); ++i) {
    const TOptionBinding& row = kBindings[i];
    switch (row.Kind) {
      case TBindKind::Check:
        FCheckBoxes[i]->setChecked(server.*row.Flag);
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
  for (size_t i = 0; i < kBindings.size(); ++i) {
    const TOptionBinding& row = kBindings[i];
    switch (row.Kind) {
      case TBindKind::Check:
        server.*row.Flag = FCheckBoxes[i]->isChecked();
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
