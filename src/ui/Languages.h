// The interface texts in the four languages: one table whose rows each belong to one window.
// TForm1::LangComboBoxChange has each window apply its own rows.
#pragma once

// Language index, as stored in the setting L.
enum TLanguage { lgRussian = 0, lgEnglish = 1, lgBelarusian = 2, lgSerbian = 3 };
inline constexpr int kLanguageCount = 4;

// Rows in the order they are applied; each row has one fixed target.
enum TLangRow {
  lrOptionsButton,   // main: OptionsButton caption
  lrAboutBtnHint,    // main: AboutBtn hint
  lrHideButton,      // main: HideButton caption
  lrStatistics,      // main: Label2
  lrRestore,         // main: tray menu item Restore
  lrExit,            // main: tray menu item Exit
  lrOptionsCaption,  // options: window caption
  lrTabSheet1,       // options: tab texts
  lrTabSheet2,
  lrOptionsOK,      // options: OKButton
  lrOptionsCancel,  // options: CancelButton
  lrRootPathLabel,  // options: Label1
  lrLanguageLabel,  // options: Label3
  lrLanguageItem0,  // options: Language items 0-3, replaced in place
  lrLanguageItem1,
  lrLanguageItem2,
  lrLanguageItem3,
  lrShowStat,        // options: ShowStatCheckBox
  lrShowCatCont,     // options: ShowCatContCheckBox
  lrHideOnStart,     // options: HideOnStartCheckBox
  lrLogLabel,        // options: Label2
  lrLogSessions,     // options: LogSessionsCheckBox
  lrLogConnects,     // options: LogConnectsCheckBox
  lrLogFiles,        // options: LogFilesCheckBox
  lrLogHeaders,      // options: LogHeadersCheckBox
  lrAboutCaption,    // About: window caption
  lrAboutOK,         // About: OKButton
  lrAboutProduct,    // About: Label2
  lrAboutVersion,    // About: Label1, followed by the version text
  lrAboutAuthor,     // About: Author
  lrAboutNotice,     // About: Label3
  lrAboutSiteLabel,  // About: Label4
  lrAboutFreeware,   // About: Freeware
  lrAboutLink,       // About: MyForum (the link's text)
  lrLogDebug,        // options: LogDebugCheckBox
  lrLogRemoteHosts,  // options: LogRemoteHostsCheckBox
  lrTabSheet3,       // options: tab text
  lrUseIPFiltering,  // options: UseIPFilteringCheckBox
  lrIPFilterAdd,     // options: the filter list's buttons
  lrIPFilterEdit,
  lrIPFilterRemove,
  lrIPFiltersClear,
  lrSendServerHeader,  // options: SendServerHeaderCheckBox
  lrIndexCssLabel,     // options: Label4
  lrECGI,              // options: ECGICheckBox
  lrCGIDirLabel,       // options: Label5
  lrRestoreDefCGIDir,  // options: RestoreDefCGIDirButton
  lrUSCGIF,            // options: USCGIFCheckBox
  lrDNICGI,            // options: DNICGICheckBox
  lrTabSheet5,         // options: tab text
  lrDPAF,              // options: DPAFCheckBox
  lrAEASC,             // options: AEASCCheckBox
  lrDIPIV,             // options: DIPIVCheckBox
  lrCGIAssocGroupBox,  // options: CGIAssocGroupBox title
  lrCGIAssocAdd,       // options: the association list's buttons
  lrCGIAssocEdit,
  lrCGIAssocRemove,
  lrCGIAssocClear,
  lrAddRootHint,     // options: AddRootButton hint
  lrRemoveRootHint,  // options: RemoveRootButton hint
  lrRowCount
};
inline constexpr int kLangRowCount = lrRowCount;
static_assert(kLangRowCount == 60, "the language table has sixty rows");

// The window whose control a row labels.
enum class TLangWindow { Main, Options, About };

// UTF-8 text of one row in one language; "" for an index outside the table.
[[nodiscard]] const char* LanguageText(int language, int row);
[[nodiscard]] TLangWindow LanguageRowWindow(int row);

// Calls apply(row, UTF-8 text) for the rows of one window in table order; nothing for a
// language outside the table.
template <class TApply>
void ForEachLanguageRow(TLangWindow window, int language, TApply apply) {
  if (language < 0 || language >= kLanguageCount) return;
  for (int row = 0; row < kLangRowCount; ++row)
    if (LanguageRowWindow(row) == window) apply(row, LanguageText(language, row));
}
