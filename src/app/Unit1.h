// The main window, which is also the server object: creating it starts the server,
// destroying it stops the server.
#pragma once
#include <QWidget>
#include <string>

#include "core/ServerCore.h"

class QAction;
class QComboBox;
class QLabel;
class QMenu;
class QPushButton;
class QSocketNotifier;
class QTimer;
class QToolButton;
class TTrayComp;
class TOptionsForm;
class TAboutBox;

class TForm1 : public QWidget, public TServerCore {
  Q_OBJECT

 public:
  // Opens the listening socket first (throws ESocketError), then starts up.
  // programFolder "" is the executable's folder.
  explicit TForm1(int port = 80, const std::string& programFolder = std::string(),
                  QWidget* parent = nullptr);
  ~TForm1() override;

  // Components, in the window's declaration order.
  QTimer* Timer1 = nullptr;
  QLabel* Label1 = nullptr;
  QComboBox* LangComboBox = nullptr;
  QPushButton* OptionsButton = nullptr;
  QToolButton* AboutBtn = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* StatLabel1 = nullptr;
  QLabel* StatLabel2 = nullptr;
  TTrayComp* TrayComp1 = nullptr;
  QMenu* PopupMenu1 = nullptr;
  QAction* Restore = nullptr;
  QAction* N1 = nullptr;
  QAction* Exit = nullptr;
  QPushButton* HideButton = nullptr;

  // Handlers.
  void Timer1Timer();
  void FormShow();
  void LangComboBoxChange();
  void OptionsButtonClick();
  void AboutBtnClick();
  void HideButtonClick();
  void RestoreClick();
  void ExitClick();

  // OK in the options dialog: takes its controls into the settings, stores them, then brings
  // the statistics labels and every window's language in line with them.
  void ApplyOptions(TOptionsForm& options);
  // Relabels this window with its rows of the language table.
  void ApplyLanguage(int language);

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // Builds the window's components (ui/MainWindow.cpp).
  void CreateComponents();
  QSocketNotifier* FSocketNotifier = nullptr;
  bool FShown = false;
};
