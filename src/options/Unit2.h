// The options dialog: edits every setting on its controls and applies them at OK.
#pragma once
#include <QDialog>
#include <array>
#include <cstddef>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class QToolButton;
class QVBoxLayout;
class QWidget;
class TForm1;
class TServerCore;

// Where a check box made from the binding table stands: each place is a column at a fixed spot
// on its tab, holding its boxes in the order of their rows.
enum class TBoxPlace {
  MainUnderRoots,       // "Main", under the list of root paths
  MainUnderStyleSheet,  // "Main", under the style sheet entry
  Logs,                 // "Logs", under its label
  IPFilterTop,          // "IP filtering", left of the filter test button
  CgiTop,               // "CGI", above the CGI dir
  CgiUnderDir,          // "CGI", under the CGI dir
  CgiUnderFolder,       // "CGI", under the separate folder
  CompatibilityTop,     // "Compatibility", above the variable entry
  Count
};
inline constexpr size_t kBoxPlaceCount = static_cast<size_t>(TBoxPlace::Count);

class TOptionsForm : public QDialog {
  Q_OBJECT

 public:
  explicit TOptionsForm(TForm1* mainForm, QWidget* parent = nullptr);

  // Controls, in declaration order. The check boxes are made, placed and labelled from the
  // binding table (OptionsBindings.cpp); their names here serve the handlers that follow them.
  QTabWidget* PageControl1 = nullptr;
  QWidget* TabSheet1 = nullptr;
  QPushButton* OKButton = nullptr;
  QPushButton* CancelButton = nullptr;
  QLabel* Label1 = nullptr;
  QLineEdit* RootPath = nullptr;
  QWidget* TabSheet2 = nullptr;
  QCheckBox* LogSessionsCheckBox = nullptr;
  QCheckBox* LogConnectsCheckBox = nullptr;
  QLabel* Label2 = nullptr;
  QCheckBox* LogFilesCheckBox = nullptr;
  QCheckBox* LogHeadersCheckBox = nullptr;
  QLabel* Label3 = nullptr;
  QComboBox* Language = nullptr;
  QCheckBox* ShowStatCheckBox = nullptr;
  QCheckBox* ShowCatContCheckBox = nullptr;
  QCheckBox* HideOnStartCheckBox = nullptr;
  QCheckBox* LogDebugCheckBox = nullptr;
  QCheckBox* LogRemoteHostsCheckBox = nullptr;
  QWidget* TabSheet3 = nullptr;
  QToolButton* TestipfiltButton = nullptr;
  QCheckBox* UseIPFilteringCheckBox = nullptr;
  QListWidget* IPFiltersListBox = nullptr;
  QPushButton* IPFilterAdd = nullptr;
  QPushButton* IPFilterRemove = nullptr;
  QPushButton* IPFiltersClear = nullptr;
  QPushButton* IPFilterEdit = nullptr;
  QCheckBox* SendServerHeaderCheckBox = nullptr;
  QLabel* Label4 = nullptr;
  QLineEdit* IndexCssURL = nullptr;
  QWidget* TabSheet4 = nullptr;
  QCheckBox* ECGICheckBox = nullptr;
  QLabel* Label5 = nullptr;
  QLineEdit* CGIDir = nullptr;
  QPushButton* RestoreDefCGIDirButton = nullptr;
  QCheckBox* USCGIFCheckBox = nullptr;
  QLineEdit* SeparateCGIFolder = nullptr;
  QCheckBox* DNICGICheckBox = nullptr;
  QWidget* TabSheet5 = nullptr;
  QCheckBox* DPAFCheckBox = nullptr;
  QCheckBox* AEASCCheckBox = nullptr;
  QCheckBox* DIPIVCheckBox = nullptr;
  QLineEdit* DuplicateIPVar = nullptr;
  QGroupBox* CGIAssocGroupBox = nullptr;
  QListWidget* CGIAssocListBox = nullptr;
  QPushButton* CGIAssocAdd = nullptr;
  QPushButton* CGIAssocEdit = nullptr;
  QPushButton* CGIAssocRemove = nullptr;
  QPushButton* CGIAssocClear = nullptr;
  QListWidget* ListBoxRoots = nullptr;
  QToolButton* AddRootButton = nullptr;
  QToolButton* RemoveRootButton = nullptr;

  // Handlers.
  void FormShow();
  void OKButtonClick();
  void CancelButtonClick();
  void UpdateIPFilterControls();
  void UseIPFilteringCheckBoxClick();
  void ShowCatContCheckBoxClick();
  void ECGICheckBoxClick();
  void USCGIFCheckBoxClick();
  void DIPIVCheckBoxClick();
  void RestoreDefCGIDirButtonClick();
  void TestipfiltButtonClick();
  void IPFilterAddClick();
  void IPFilterEditClick();
  void IPFiltersListBoxDblClick();
  void IPFilterRemoveClick();
  void IPFiltersClearClick();
  void CGIAssocAddClick();
  void CGIAssocEditClick();
  void CGIAssocRemoveClick();
  void CGIAssocClearClick();
  void AddRootButtonClick();
  void RemoveRootButtonClick();
  void ListBoxRootsClick();

  // The settings into their controls, and the controls back into the settings; one table of
  // setting and control drives both (OptionsBindings.cpp). Storing also shows the normalised
  // text in an entry that has a normalising rule.
  void LoadControls(const TServerCore& server);
  void StoreControls(TServerCore& server);
  // Relabels the dialog with its rows of the language table (OptionsLanguage.cpp).
  void ApplyLanguage(int language);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  // Makes the binding table's check boxes, each in its place.
  void CreateCheckBoxes(const std::array<QVBoxLayout*, kBoxPlaceCount>& places);
  // The check box that a row of the language table labels; nullptr for any other row.
  [[nodiscard]] QCheckBox* CheckBoxOfLanguageRow(int row) const;
  void SetKeyboardOrder();
  void FocusFirstControl();
  void FitOuterSize(QSize frame);

  TForm1* FMainForm;
  bool FFrameFitted = false;  // the outer size has been corrected for the window frame
  std::vector<std::vector<QWidget*>> FPageControls;  // each tab's controls in keyboard order
  std::vector<QCheckBox*> FCheckBoxes;  // by row of the binding table; nullptr for other controls
};
