// The main window's face: its controls, the tray icon and menu, hiding and showing, and the
// interface language that relabels the main window, the options dialog and the About box.
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>

#include "app/Unit1.h"
#include "settings/Settings.h"
#include "settings/Unit2.h"
#include "ui/Icons.h"
#include "ui/Languages.h"
#include "ui/Traycomp.h"
#include "ui/Unit3.h"

namespace {

constexpr int kClientWidth = 498;
constexpr int kClientHeight = 341;
constexpr int kStatisticsInterval = 5000;  // ms between refreshes of the statistics labels

template <class Widget>
void SetCaption(Widget* widget, const QString& text) {
  if (widget) widget->setText(text);
}

void SetHint(QWidget* widget, const QString& text) {
  if (widget) widget->setToolTip(text);
}

void SetTabText(QTabWidget* pages, QWidget* page, const QString& text) {
  if (!pages || !page) return;
  const int index = pages->indexOf(page);
  if (index >= 0) pages->setTabText(index, text);
}

void SetLanguageItem(TOptionsForm* options, int item, const QString& text) {
  if (options && options->Language && item < options->Language->count())
    options->Language->setItemText(item, text);
}

// One row of the language table to its target. Windows that do not exist yet are skipped.
void ApplyRow(TForm1& form, TOptionsForm* options, TAboutBox* about, int row, const QString& text) {
  switch (row) {
    case lrOptionsButton:
      SetCaption(form.OptionsButton, text);
      break;
    case lrAboutBtnHint:
      SetHint(form.AboutBtn, text);
      break;
    case lrHideButton:
      SetCaption(form.HideButton, text);
      break;
    case lrStatistics:
      SetCaption(form.Label2, text);
      break;
    case lrRestore:
      SetCaption(form.Restore, text);
      break;
    case lrExit:
      SetCaption(form.Exit, text);
      break;
    case lrAboutCaption:
      if (about) about->setWindowTitle(text);
      break;
    case lrAboutOK:
      if (about) SetCaption(about->OKButton, text);
      break;
    case lrAboutProduct:
      if (about) SetCaption(about->Label2, text);
      break;
    case lrAboutVersion:
      if (about) SetCaption(about->Label1, text + QString::fromLatin1(TAboutBox::Version));
      break;
    case lrAboutAuthor:
      if (about) SetCaption(about->Author, text);
      break;
    case lrAboutNotice:
      if (about) SetCaption(about->Label3, text);
      break;
    case lrAboutSiteLabel:
      if (about) SetCaption(about->Label4, text);
      break;
    case lrAboutFreeware:
      if (about) SetCaption(about->Freeware, text);
      break;
    case lrAboutLink:
      if (about) about->SetLinkText(text);
      break;
    default:
      break;
  }
  if (!options) return;
  TOptionsForm& o = *options;
  switch (row) {
    case lrOptionsCaption:
      o.setWindowTitle(text);
      break;
    case lrTabSheet1:
      SetTabText(o.PageControl1, o.TabSheet1, text);
      break;
    case lrTabSheet2:
      SetTabText(o.PageControl1, o.TabSheet2, text);
      break;
    case lrOptionsOK:
      SetCaption(o.OKButton, text);
      break;
    case lrOptionsCancel:
      SetCaption(o.CancelButton, text);
      break;
    case lrRootPathLabel:
      SetCaption(o.Label1, text);
      break;
    case lrLanguageLabel:
      SetCaption(o.Label3, text);
      break;
    case lrLanguageItem0:
    case lrLanguageItem1:
    case lrLanguageItem2:
    case lrLanguageItem3:
      SetLanguageItem(options, row - lrLanguageItem0, text);
      break;
    case lrShowStat:
      SetCaption(o.ShowStatCheckBox, text);
      break;
    case lrShowCatCont:
      SetCaption(o.ShowCatContCheckBox, text);
      break;
    case lrHideOnStart:
      SetCaption(o.HideOnStartCheckBox, text);
      break;
    case lrLogLabel:
      SetCaption(o.Label2, text);
      break;
    case lrLogSessions:
      SetCaption(o.LogSessionsCheckBox, text);
      break;
    case lrLogConnects:
      SetCaption(o.LogConnectsCheckBox, text);
      break;
    case lrLogFiles:
      SetCaption(o.LogFilesCheckBox, text);
      break;
    case lrLogHeaders:
      SetCaption(o.LogHeadersCheckBox, text);
      break;
    case lrLogDebug:
      SetCaption(o.LogDebugCheckBox, text);
      break;
    case lrLogRemoteHosts:
      SetCaption(o.LogRemoteHostsCheckBox, text);
      break;
    case lrTabSheet3:
      SetTabText(o.PageControl1, o.TabSheet3, text);
      break;
    case lrUseIPFiltering:
      SetCaption(o.UseIPFilteringCheckBox, text);
      break;
    case lrIPFilterAdd:
      SetCaption(o.IPFilterAdd, text);
      break;
    case lrIPFilterEdit:
      SetCaption(o.IPFilterEdit, text);
      break;
    case lrIPFilterRemove:
      SetCaption(o.IPFilterRemove, text);
      break;
    case lrIPFiltersClear:
      SetCaption(o.IPFiltersClear, text);
      break;
    case lrSendServerHeader:
      SetCaption(o.SendServerHeaderCheckBox, text);
      break;
    case lrIndexCssLabel:
      SetCaption(o.Label4, text);
      break;
    case lrECGI:
      SetCaption(o.ECGICheckBox, text);
      break;
    case lrCGIDirLabel:
      SetCaption(o.Label5, text);
      break;
    case lrRestoreDefCGIDir:
      SetCaption(o.RestoreDefCGIDirButton, text);
      break;
    case lrUSCGIF:
      SetCaption(o.USCGIFCheckBox, text);
      break;
    case lrDNICGI:
      SetCaption(o.DNICGICheckBox, text);
      break;
    case lrTabSheet5:
      SetTabText(o.PageControl1, o.TabSheet5, text);
      break;
    case lrDPAF:
      SetCaption(o.DPAFCheckBox, text);
      break;
    case lrAEASC:
      SetCaption(o.AEASCCheckBox, text);
      break;
    case lrDIPIV:
      SetCaption(o.DIPIVCheckBox, text);
      break;
    case lrCGIAssocGroupBox:
      if (o.CGIAssocGroupBox) o.CGIAssocGroupBox->setTitle(text);
      break;
    case lrCGIAssocAdd:
      SetCaption(o.CGIAssocAdd, text);
      break;
    case lrCGIAssocEdit:
      SetCaption(o.CGIAssocEdit, text);
      break;
    case lrCGIAssocRemove:
      SetCaption(o.CGIAssocRemove, text);
      break;
    case lrCGIAssocClear:
      SetCaption(o.CGIAssocClear, text);
      break;
    case lrAddRootHint:
      SetHint(o.AddRootButton, text);
      break;
    case lrRemoveRootHint:
      SetHint(o.RemoveRootButton, text);
      break;
    default:
      break;
  }
}

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
    FormShow();
  }
}

void TForm1::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !TrayComp1) return;
  if (isMinimized() && !TrayComp1->Minimized()) {
    // Minimised by the title bar: go to the tray as "Hide" does, once the state change is over.
    QTimer::singleShot(0, this, [this] {
      if (isMinimized() && !TrayComp1->Minimized()) TrayComp1->Minimize();
    });
  } else if (!isMinimized() && TrayComp1->Minimized() && isVisible()) {
    // Restored from the task bar.
    TrayComp1->Restore();
  }
}

void TForm1::LangComboBoxChange() {
  L = LangComboBox->currentIndex();
  if (L >= 0 && L < kLanguageCount) {
    for (int row = 0; row < kLangRowCount; ++row)
      ApplyRow(*this, ::OptionsForm, ::AboutBox, row, QString::fromUtf8(LanguageText(L, row)));
  }
  if (!SuppressLanguageSave) SaveLanguage(*this);
  SuppressLanguageSave = false;
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
