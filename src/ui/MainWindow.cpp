// The main window's face: its controls, the tray icon and menu, hiding and showing, the interface
// language that every window applies to itself, and applying the options dialog's OK.
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

#include "app/ProgramWindows.h"
#include "app/Unit1.h"
#include "options/Unit2.h"
#include "settings/Settings.h"
#include "ui/Icons.h"
#include "ui/Languages.h"
#include "ui/Traycomp.h"
#include "ui/Unit3.h"

namespace {

constexpr int kClientWidth = 498;
constexpr int kClientHeight = 341;
constexpr int kStatisticsInterval = 5000;  // ms between refreshes of the statistics labels

QPushButton* MakeButton(const QString& text, QWidget* parent, bool bold = false) {
  auto* button = new QPushButton(text, parent);
  if (bold) {
    QFont font = button->font();
    font.setBold(true);
    button->setFont(font);
  }
  button->setMinimumWidth(110);
  return button;
}

}  // namespace

void TForm1::CreateComponents() {
  setWindowTitle(QStringLiteral("Vyn Brevoxa"));
  if (qApp->windowIcon().isNull()) qApp->setWindowIcon(BrevoxaIcon());
  setWindowIcon(qApp->windowIcon());
  setWindowFlags(Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);

  // Started and connected by the server side once start-up has finished.
  Timer1 = new QTimer(this);
  Timer1->setInterval(kStatisticsInterval);

  Label1 = new QLabel(QStringLiteral("Interface language:"), this);
  QFont bold = Label1->font();
  bold.setBold(true);
  Label1->setFont(bold);

  LangComboBox = new QComboBox(this);
  LangComboBox->addItems({QStringLiteral("Русский"), QStringLiteral("English"),
                          QStringLiteral("Беларускую"), QStringLiteral("Српски")});
  LangComboBox->setCurrentIndex(-1);
  LangComboBox->setMinimumWidth(130);
  Label1->setBuddy(LangComboBox);
  // Only the user's choice runs the handler; FormShow and the options dialog select quietly.
  connect(LangComboBox, &QComboBox::activated, this, [this](int) { LangComboBoxChange(); });

  OptionsButton = MakeButton(QStringLiteral("Options..."), this);
  connect(OptionsButton, &QPushButton::clicked, this, [this] { OptionsButtonClick(); });

  AboutBtn = new QToolButton(this);
  AboutBtn->setIcon(AboutIcon());
  AboutBtn->setIconSize(QSize(24, 24));
  AboutBtn->setAutoRaise(true);
  AboutBtn->setToolTip(QStringLiteral("About Vyn Brevoxa"));
  connect(AboutBtn, &QToolButton::clicked, this, [this] { AboutBtnClick(); });

  Label2 = new QLabel(QStringLiteral("Statistics:"), this);
  StatLabel1 = new QLabel(QStringLiteral("--"), this);
  StatLabel2 = new QLabel(QStringLiteral("--"), this);
  for (QLabel* label : {StatLabel1, StatLabel2}) {
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->setWordWrap(true);
  }

  PopupMenu1 = new QMenu(this);
  Restore = PopupMenu1->addAction(QStringLiteral("Show"));
  PopupMenu1->setDefaultAction(Restore);
  N1 = PopupMenu1->addSeparator();
  Exit = PopupMenu1->addAction(QStringLiteral("Exit"));
  connect(Restore, &QAction::triggered, this, [this] { RestoreClick(); });
  connect(Exit, &QAction::triggered, this, [this] { ExitClick(); });

  TrayComp1 = new TTrayComp(this);
  TrayComp1->SetVisible(true);
  TrayComp1->SetHint(QStringLiteral("Vyn Brevoxa"));
  TrayComp1->PopupMenu = PopupMenu1;
  TrayComp1->SetHide(true);
  TrayComp1->RestoreOn = arLeftDblClick;
  TrayComp1->PopupMenuOn = arRightClick;
  TrayComp1->Loaded();

  HideButton = MakeButton(QStringLiteral("Hide"), this, true);
  HideButton->setDefault(true);
  connect(HideButton, &QPushButton::clicked, this, [this] { HideButtonClick(); });

  // Layout: language and commands on top, the statistics panel, "Hide" at the bottom right.
  auto* top = new QHBoxLayout;
  top->addWidget(Label1);
  top->addWidget(LangComboBox);
  top->addStretch(1);
  top->addWidget(OptionsButton);
  top->addWidget(AboutBtn);

  auto* panel = new QFrame(this);
  panel->setFrameShape(QFrame::StyledPanel);
  panel->setFrameShadow(QFrame::Sunken);
  auto* stats = new QVBoxLayout(panel);
  stats->setContentsMargins(14, 12, 14, 12);
  stats->setSpacing(10);
  Label2->setParent(panel);
  StatLabel1->setParent(panel);
  StatLabel2->setParent(panel);
  stats->addWidget(Label2);
  stats->addWidget(StatLabel1);
  stats->addWidget(StatLabel2);
  stats->addStretch(1);

  auto* bottom = new QHBoxLayout;
  bottom->addStretch(1);
  bottom->addWidget(HideButton);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(14, 14, 14, 14);
  layout->setSpacing(12);
  layout->addLayout(top);
  layout->addWidget(panel, 1);
  layout->addLayout(bottom);
}

void TForm1::FormShow() {
  if (HOS) {
    // Without a tray to go to, the window is mapped minimised in the first place: minimised only
    // after the window manager has mapped it, it could come back up in the race.
    if (TrayComp1 && !TrayComp1->CanHideToTray())
      setWindowState(windowState() | Qt::WindowMinimized);
    // Hiding from inside the show itself would leave the native window mapped; wait a turn.
    QTimer::singleShot(0, this, [this] {
      if (TrayComp1 && !TrayComp1->Minimized()) TrayComp1->Minimize();
    });
  }
  {
    const QSignalBlocker quiet(LangComboBox);
    LangComboBox->setCurrentIndex(L);
  }
  LangComboBoxChange();
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!FShown) {
    FShown = true;
    // On Wayland the minimise button of a title bar that Qt draws itself goes to the native
    // window alone: the widget never hears of it.
    if (!TrayComp1->MinimizedStateReported() && windowHandle()) {
      connect(windowHandle(), &QWindow::windowStateChanged, this, [this](Qt::WindowState state) {
        if (state != Qt::WindowMinimized || TrayComp1->Minimized()) return;
        // Once the state change is over, as for a title bar the compositor draws.
        QTimer::singleShot(0, this, [this] {
          if (!TrayComp1->Minimized()) TrayComp1->Minimize();
        });
      });
    }
    FormShow();
  }
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (!TrayComp1) return;
  if (event->type() == QEvent::ActivationChange) {
    TrayComp1->WindowActivationChanged(isActiveWindow());
    return;
  }
  if (event->type() != QEvent::WindowStateChange) return;
  if (isMinimized() && !TrayComp1->Minimized()) {
    // Minimised by the title bar: go to the tray as "Hide" does, once the state change is over.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized() && !TrayComp1->Minimized()) TrayComp1->Minimize();
    });
  } else if (!isMinimized() && TrayComp1->Minimized() && isVisible() &&
             TrayComp1->MinimizedStateReported()) {
    // Restored from the task bar. On Wayland this is only Qt taking back the minimised state
    // it cannot keep, a moment after the minimise was asked for.
    TrayComp1->Restore();
  }
}

void TForm1::LangComboBoxChange() {
  L = LangComboBox->currentIndex();
  if (L >= 0 && L < kLanguageCount) {
    ApplyLanguage(L);
    // The dialogs may not exist yet while the program starts.
    if (::OptionsForm) ::OptionsForm->ApplyLanguage(L);
    if (::AboutBox) ::AboutBox->ApplyLanguage(L);
  }
  if (!SuppressLanguageSave) SaveLanguage(*this);
  SuppressLanguageSave = false;
}

void TForm1::ApplyLanguage(int language) {
  ForEachLanguageRow(TLangWindow::Main, language, [this](int row, const char* utf8) {
    const QString text = QString::fromUtf8(utf8);
    switch (row) {
      case lrOptionsButton:
        OptionsButton->setText(text);
        break;
      case lrAboutBtnHint:
        AboutBtn->setToolTip(text);
        break;
      case lrHideButton:
        HideButton->setText(text);
        break;
      case lrStatistics:
        Label2->setText(text);
        break;
      case lrRestore:
        Restore->setText(text);
        break;
      case lrExit:
        Exit->setText(text);
        break;
      default:
        break;
    }
  });
}

void TForm1::ApplyOptions(TOptionsForm& options) {
  const int32_t languageInForce = L;
  options.StoreControls(*this);
  // A failed store reports itself; the settings stay in force for this run all the same.
  SaveSettings(*this);
  // Frozen statistics would look live; dashes say they are off.
  if (!SRS) {
    StatLabel1->setText(QStringLiteral("--"));
    StatLabel2->setText(QStringLiteral("--"));
  }
  // Every window follows a new language. The combo box is selected quietly so the handler runs
  // once, and the handler must not store the language again: SaveSettings just did.
  if (L != languageInForce) {
    {
      const QSignalBlocker quiet(LangComboBox);
      LangComboBox->setCurrentIndex(L);
    }
    SuppressLanguageSave = true;
    LangComboBoxChange();
  }
}

void TForm1::OptionsButtonClick() {
  if (::OptionsForm) ::OptionsForm->exec();
}

void TForm1::AboutBtnClick() {
  if (::AboutBox) ::AboutBox->exec();
}

void TForm1::HideButtonClick() { TrayComp1->Minimize(); }

void TForm1::RestoreClick() { TrayComp1->Restore(); }

void TForm1::ExitClick() { close(); }
