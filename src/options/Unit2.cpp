// The options dialog: its controls, loading them from the server's settings, and OK/Cancel.
#include "options/Unit2.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFontDatabase>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QShowEvent>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <array>
#include <functional>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "options/OptionsPaths.h"
#include "options/OptionsTexts.h"
#include "platform/Codec.h"
#include "platform/Files.h"
#include "settings/Settings.h"

namespace {

// The dialog's outer size, frame included.
constexpr int kOuterWidth = 549;
constexpr int kOuterHeight = 429;

QString ToQ(const std::string& cp1251) { return QString::fromStdString(Cp1251ToUtf8(cp1251)); }
std::string FromQ(const QString& text) { return Utf8ToCp1251(text.toStdString()); }

// Window colour while usable, button-face colour while not, so a disabled entry or list reads
// as part of the dialog's surface rather than as an empty field.
void PaintByState(QWidget* w, bool usable) {
  const QPalette app = QApplication::palette(w);
  QPalette p = w->palette();
  p.setColor(QPalette::Base,
             app.color(QPalette::Active, usable ? QPalette::Base : QPalette::Button));
  w->setPalette(p);
}

void EnableWithColour(QWidget* w, bool enabled) {
  w->setEnabled(enabled);
  PaintByState(w, enabled);
}

void FocusIfPossible(QWidget* w) {
  if (w->isEnabled() && w->focusPolicy() != Qt::NoFocus) w->setFocus(Qt::OtherFocusReason);
}

// Asked for by its traits, so that whichever fixed-pitch font the machine has is the one shown.
QFont FixedPitchFont() {
  QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setFamilies({QStringLiteral("Courier New"), f.family()});
  f.setStyleHint(QFont::TypeWriter);
  f.setFixedPitch(true);
  return f;
}

// Runs a handler on clicks and double-clicks anywhere in a list's viewport (also on its empty
// part, where the list itself reports nothing) and on keyboard moves of its selection.
class TListEvents : public QObject {
 public:
  TListEvents(QListWidget* list, std::function<void()> onClick, std::function<void()> onDoubleClick)
      : QObject(list),
        FList(list),
        FViewport(list->viewport()),
        FOnClick(std::move(onClick)),
        FOnDoubleClick(std::move(onDoubleClick)) {
    FViewport->installEventFilter(this);
    FList->installEventFilter(this);
  }

 protected:
  // Compares addresses only: events still arrive while the list is being destroyed.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == FViewport) {
      // Only the left button clicks; the right one is for a context menu.
      const bool left = (event->type() == QEvent::MouseButtonRelease ||
                         event->type() == QEvent::MouseButtonDblClick) &&
                        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton;
      if (!left) return false;
      if (event->type() == QEvent::MouseButtonRelease && FOnClick) {
        // After the list has taken the click, so the handler sees the new selection.
        QTimer::singleShot(0, this, [this] { FOnClick(); });
      } else if (event->type() == QEvent::MouseButtonDblClick && FOnDoubleClick) {
        QTimer::singleShot(0, this, [this] { FOnDoubleClick(); });
      }
    } else if (watched == FList && FOnClick &&
               (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease)) {
      switch (static_cast<QKeyEvent*>(event)->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
          // A key is a click only when it moves the selection; in an empty list it moves nothing.
          if (event->type() == QEvent::KeyPress)
            FRowBeforeKey = FList->currentRow();
          else if (FList->currentRow() != FRowBeforeKey)
            FOnClick();
          break;
        default:
          break;
      }
    }
    return false;
  }

 private:
  QListWidget* FList;
  QObject* FViewport;
  int FRowBeforeKey = -1;
  std::function<void()> FOnClick;
  std::function<void()> FOnDoubleClick;
};

// The controls in a layout that the keyboard reaches, in the layout's order; a control that takes
// no focus itself (a group box) gives the controls of its own layout.
void AppendTabStops(const QLayout* layout, std::vector<QWidget*>& stops) {
  for (int i = 0; i < layout->count(); ++i) {
    QLayoutItem* item = layout->itemAt(i);
    if (QWidget* w = item->widget()) {
      if (w->focusPolicy() & Qt::TabFocus)
        stops.push_back(w);
      else if (w->layout())
        AppendTabStops(w->layout(), stops);
    } else if (const QLayout* inner = item->layout()) {
      AppendTabStops(inner, stops);
    }
  }
}

QPushButton* ColumnButton(const char* text, QWidget* parent) {
  auto* b = new QPushButton(QString::fromUtf8(text), parent);
  b->setAutoDefault(false);
  return b;
}

}  // namespace

TOptionsForm::TOptionsForm(TForm1* mainForm, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      FMainForm(mainForm) {
  setWindowTitle(QStringLiteral("Server options"));
  setModal(true);

  PageControl1 = new QTabWidget(this);
  TabSheet1 = new QWidget(PageControl1);
  OKButton = new QPushButton(QStringLiteral("OK"), this);
  CancelButton = new QPushButton(QStringLiteral("Cancel"), this);

  // "Main"
  Label1 = new QLabel(QStringLiteral("Server root path:"), TabSheet1);
  RootPath = new QLineEdit(TabSheet1);
  TabSheet2 = new QWidget(PageControl1);
  Label2 = new QLabel(QStringLiteral("Save in log file information on:"), TabSheet2);
  Label3 = new QLabel(QStringLiteral("Interface language:"), TabSheet1);
  Language = new QComboBox(TabSheet1);
  Language->setEditable(false);
  Language->addItems({QStringLiteral("Russian"), QStringLiteral("English"),
                      QString::fromUtf8("Беларускую"), QString::fromUtf8("Српски")});

  // "IP filtering"
  TabSheet3 = new QWidget(PageControl1);
  TestipfiltButton = new QToolButton(TabSheet3);
  TestipfiltButton->setText(QStringLiteral(":-:"));
  TestipfiltButton->setToolTip(QStringLiteral("Test IP filter function"));
  IPFiltersListBox = new QListWidget(TabSheet3);
  IPFiltersListBox->setFont(FixedPitchFont());
  IPFiltersListBox->addItems({QStringLiteral("111-222.111-222.111-222.111-222"),
                              QStringLiteral("222-333.222-333.222-333.222-333")});
  IPFilterAdd = ColumnButton("Add IP range", TabSheet3);
  IPFilterRemove = ColumnButton("Remove IP range", TabSheet3);
  IPFiltersClear = ColumnButton("Clear the list", TabSheet3);
  IPFilterEdit = ColumnButton("Edit IP range", TabSheet3);
  Label4 = new QLabel(QStringLiteral("Stylesheet (CSS) file URL for index-pages:"), TabSheet1);
  IndexCssURL = new QLineEdit(TabSheet1);

  // "CGI"
  TabSheet4 = new QWidget(PageControl1);
  Label5 = new QLabel(QStringLiteral("CGI dir:"), TabSheet4);
  CGIDir = new QLineEdit(TabSheet4);
  CGIDir->setFont(FixedPitchFont());
  RestoreDefCGIDirButton = ColumnButton("<- Reset to default", TabSheet4);
  SeparateCGIFolder = new QLineEdit(TabSheet4);

  // "Compatibility"
  TabSheet5 = new QWidget(PageControl1);
  DuplicateIPVar = new QLineEdit(TabSheet5);
  DuplicateIPVar->setFont(FixedPitchFont());

  CGIAssocGroupBox = new QGroupBox(QStringLiteral("CGI script associations"), TabSheet4);
  CGIAssocListBox = new QListWidget(CGIAssocGroupBox);
  CGIAssocListBox->addItems({QStringLiteral("exmpl:example"), QStringLiteral("pl:perl")});
  CGIAssocAdd = ColumnButton("Add association", CGIAssocGroupBox);
  CGIAssocEdit = ColumnButton("Edit association", CGIAssocGroupBox);
  CGIAssocRemove = ColumnButton("Remove association", CGIAssocGroupBox);
  CGIAssocClear = ColumnButton("Clear all", CGIAssocGroupBox);

  ListBoxRoots = new QListWidget(TabSheet1);
  AddRootButton = new QToolButton(TabSheet1);
  AddRootButton->setIcon(style()->standardIcon(QStyle::SP_ArrowDown));
  AddRootButton->setToolTip(QStringLiteral("Add to pathlist"));
  RemoveRootButton = new QToolButton(TabSheet1);
  RemoveRootButton->setIcon(style()->standardIcon(QStyle::SP_DialogDiscardButton));
  RemoveRootButton->setToolTip(QStringLiteral("Delete from pathlist"));

  for (QListWidget* list : {ListBoxRoots, IPFiltersListBox, CGIAssocListBox})
    list->setSelectionMode(QAbstractItemView::SingleSelection);

  // The places of the check boxes are laid out with the other controls; the boxes come from the
  // binding table once the places stand.
  std::array<QVBoxLayout*, kBoxPlaceCount> places{};
  const auto place = [&places](TBoxPlace at) {
    auto* column = new QVBoxLayout;
    places[static_cast<size_t>(at)] = column;
    return column;
  };

  // Layout of "Main", top to bottom.
  {
    auto* v = new QVBoxLayout(TabSheet1);
    v->setSpacing(4);
    v->addWidget(Label1);
    auto* pathRow = new QHBoxLayout;
    pathRow->addWidget(RootPath);
    pathRow->addWidget(AddRootButton);
    v->addLayout(pathRow);
    auto* listRow = new QHBoxLayout;
    ListBoxRoots->setMaximumHeight(64);
    listRow->addWidget(ListBoxRoots);
    auto* removeColumn = new QVBoxLayout;
    removeColumn->addWidget(RemoveRootButton);
    removeColumn->addStretch();
    listRow->addLayout(removeColumn);
    v->addLayout(listRow);
    v->addLayout(place(TBoxPlace::MainUnderRoots));
    v->addWidget(Label4);
    v->addWidget(IndexCssURL);
    v->addLayout(place(TBoxPlace::MainUnderStyleSheet));
    auto* langRow = new QHBoxLayout;
    langRow->addWidget(Label3);
    langRow->addWidget(Language, 1);
    langRow->addStretch(1);
    v->addLayout(langRow);
    v->addStretch();
  }
  {
    auto* v = new QVBoxLayout(TabSheet2);
    v->addWidget(Label2);
    v->addLayout(place(TBoxPlace::Logs));
    v->addStretch();
  }
  {
    auto* v = new QVBoxLayout(TabSheet3);
    auto* top = new QHBoxLayout;
    top->addLayout(place(TBoxPlace::IPFilterTop), 1);
    top->addWidget(TestipfiltButton, 0, Qt::AlignRight | Qt::AlignTop);
    v->addLayout(top);
    auto* body = new QHBoxLayout;
    body->addWidget(IPFiltersListBox, 1);
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {IPFilterAdd, IPFilterEdit, IPFilterRemove, IPFiltersClear})
      buttons->addWidget(b);
    buttons->addStretch();
    body->addLayout(buttons);
    v->addLayout(body, 1);
  }
  {
    auto* v = new QVBoxLayout(TabSheet4);
    v->setSpacing(4);
    v->addLayout(place(TBoxPlace::CgiTop));
    auto* dirRow = new QHBoxLayout;
    dirRow->addWidget(Label5);
    dirRow->addWidget(CGIDir, 1);
    dirRow->addWidget(RestoreDefCGIDirButton);
    v->addLayout(dirRow);
    v->addLayout(place(TBoxPlace::CgiUnderDir));
    v->addWidget(SeparateCGIFolder);
    v->addLayout(place(TBoxPlace::CgiUnderFolder));
    auto* assoc = new QHBoxLayout(CGIAssocGroupBox);
    assoc->addWidget(CGIAssocListBox, 1);
    auto* buttons = new QVBoxLayout;
    for (QPushButton* b : {CGIAssocAdd, CGIAssocEdit, CGIAssocRemove, CGIAssocClear})
      buttons->addWidget(b);
    buttons->addStretch();
    assoc->addLayout(buttons);
    v->addWidget(CGIAssocGroupBox, 1);
  }
  {
    auto* v = new QVBoxLayout(TabSheet5);
    v->addLayout(place(TBoxPlace::CompatibilityTop));
    v->addWidget(DuplicateIPVar);
    v->addStretch();
  }
  CreateCheckBoxes(places);

  PageControl1->addTab(TabSheet1, QStringLiteral("Main"));
  PageControl1->addTab(TabSheet2, QStringLiteral("Logs"));
  PageControl1->addTab(TabSheet3, QStringLiteral("IP filtering"));
  PageControl1->addTab(TabSheet4, QStringLiteral("CGI"));
  PageControl1->addTab(TabSheet5, QStringLiteral("Compatibility"));

  OKButton->setDefault(true);
  CancelButton->setAutoDefault(false);
  auto* outer = new QVBoxLayout(this);
  outer->addWidget(PageControl1, 1);
  auto* buttonRow = new QHBoxLayout;
  buttonRow->addStretch();
  buttonRow->addWidget(OKButton);
  buttonRow->addWidget(CancelButton);
  outer->addLayout(buttonRow);
  // The controls are placed for this size: stretched, the lists would drift from their fields.
  FitOuterSize(QSize());
  SetKeyboardOrder();

  connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
  connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });
  connect(UseIPFilteringCheckBox, &QCheckBox::toggled, this,
          [this] { UseIPFilteringCheckBoxClick(); });
  connect(ShowCatContCheckBox, &QCheckBox::toggled, this, [this] { ShowCatContCheckBoxClick(); });
  connect(ECGICheckBox, &QCheckBox::toggled, this, [this] { ECGICheckBoxClick(); });
  connect(USCGIFCheckBox, &QCheckBox::toggled, this, [this] { USCGIFCheckBoxClick(); });
  connect(DIPIVCheckBox, &QCheckBox::toggled, this, [this] { DIPIVCheckBoxClick(); });
  connect(RestoreDefCGIDirButton, &QPushButton::clicked, this,
          [this] { RestoreDefCGIDirButtonClick(); });
  connect(TestipfiltButton, &QToolButton::clicked, this, [this] { TestipfiltButtonClick(); });
  connect(IPFilterAdd, &QPushButton::clicked, this, [this] { IPFilterAddClick(); });
  connect(IPFilterEdit, &QPushButton::clicked, this, [this] { IPFilterEditClick(); });
  connect(IPFilterRemove, &QPushButton::clicked, this, [this] { IPFilterRemoveClick(); });
  connect(IPFiltersClear, &QPushButton::clicked, this, [this] { IPFiltersClearClick(); });
  connect(CGIAssocAdd, &QPushButton::clicked, this, [this] { CGIAssocAddClick(); });
  connect(CGIAssocEdit, &QPushButton::clicked, this, [this] { CGIAssocEditClick(); });
  connect(CGIAssocRemove, &QPushButton::clicked, this, [this] { CGIAssocRemoveClick(); });
  connect(CGIAssocClear, &QPushButton::clicked, this, [this] { CGIAssocClearClick(); });
  connect(AddRootButton, &QToolButton::clicked, this, [this] { AddRootButtonClick(); });
  connect(RemoveRootButton, &QToolButton::clicked, this, [this] { RemoveRootButtonClick(); });
  new TListEvents(IPFiltersListBox, nullptr, [this] { IPFiltersListBoxDblClick(); });
  new TListEvents(CGIAssocListBox, nullptr, [this] { CGIAssocEditClick(); });
  new TListEvents(
      ListBoxRoots, [this] { ListBoxRootsClick(); }, nullptr);
}

void TOptionsForm::FitOuterSize(QSize frame) {
  setFixedSize(kOuterWidth - frame.width(), kOuterHeight - frame.height());
}

// The keyboard walks each tab top to bottom and left to right as laid out, then OK and Cancel;
// the order in which the controls are made follows their declaration and the binding table, not
// the layout.
void TOptionsForm::SetKeyboardOrder() {
  FPageControls.clear();
  for (int page = 0; page < PageControl1->count(); ++page) {
    FPageControls.emplace_back();
    AppendTabStops(PageControl1->widget(page)->layout(), FPageControls.back());
  }
  QWidget* previous = PageControl1;
  for (const std::vector<QWidget*>& page : FPageControls) {
    for (QWidget* w : page) {
      setTabOrder(previous, w);
      previous = w;
    }
  }
  setTabOrder(previous, OKButton);
  setTabOrder(OKButton, CancelButton);
}

void TOptionsForm::FocusFirstControl() {
  const int page = PageControl1->currentIndex();
  if (page < 0 || page >= static_cast<int>(FPageControls.size())) return;
  for (QWidget* w : FPageControls[static_cast<size_t>(page)]) {
    if (w->isEnabled() && (w->focusPolicy() & Qt::TabFocus)) {
      w->setFocus(Qt::TabFocusReason);
      return;
    }
  }
}

void TOptionsForm::showEvent(QShowEvent* event) {
  // Sized before the window appears, so it opens at its size rather than jumping to it. The
  // window manager's frame is taken to be the main window's until this window has one itself.
  if (!FFrameFitted && !event->spontaneous()) {
    const QWidget* main = FMainForm;
    if (main && main->isVisible())
      FitOuterSize(main->frameGeometry().size() - main->geometry().size());
  }
  QDialog::showEvent(event);
  // Restoring the minimised dialog is a spontaneous show: reloading then would drop the edits.
  if (event->spontaneous()) return;
  FormShow();
  FocusFirstControl();
  if (!FFrameFitted) {
    // The frame is known only once the window manager has framed the window.
    QTimer::singleShot(0, this, [this] {
      const QSize frame = frameGeometry().size() - geometry().size();
      if (frame.width() > 0 || frame.height() > 0) {
        if (frameGeometry().size() != QSize(kOuterWidth, kOuterHeight)) FitOuterSize(frame);
        FFrameFitted = true;
      }
    });
  }
}

void TOptionsForm::FormShow() {
  LoadControls(*FMainForm);
  UpdateIPFilterControls();
  ShowCatContCheckBoxClick();
  ECGICheckBoxClick();
  DIPIVCheckBoxClick();
}

void TOptionsForm::OKButtonClick() {
  const int msgLang = FMainForm->L;

  // 1. Root path.
  {
    std::string path = NormaliseLocalFolder(FromQ(RootPath->text()));
    RootPath->setText(ToQ(path));
    if (!DirectoryExists(path)) {
      ShowOptionsMessage(TOptionsMsg::WrongRootPath, msgLang);
      PageControl1->setCurrentWidget(TabSheet1);
      FocusIfPossible(RootPath);
      return;
    }
  }
  // 2. Separate CGI folder, checked even while unused so that switching it on later cannot
  // point the CGI folder at nothing.
  {
    std::string path = NormaliseLocalFolder(FromQ(SeparateCGIFolder->text()));
    SeparateCGIFolder->setText(ToQ(path));
    if (!DirectoryExists(path)) {
      ShowOptionsMessage(TOptionsMsg::WrongCgiFolder, msgLang);
      PageControl1->setCurrentWidget(TabSheet4);
      FocusIfPossible(SeparateCGIFolder);
      return;
    }
  }
  // 3. Style sheet URL: it goes into the pages as a link, so a local file path is useless.
  if (IsLocalPathUrl(FromQ(IndexCssURL->text()))) {
    ShowOptionsMessage(TOptionsMsg::WrongCssUrl, msgLang);
    PageControl1->setCurrentWidget(TabSheet1);
    FocusIfPossible(IndexCssURL);
    return;
  }
  // 4. The duplicate-address variable.
  if (DIPIVCheckBox->isChecked()) {
    const std::string name = FromQ(DuplicateIPVar->text());
    if (name == "REMOTE_ADDR") {
      ShowOptionsMessage(TOptionsMsg::SenselessRemoteAddr, msgLang);
      PageControl1->setCurrentWidget(TabSheet5);
      FocusIfPossible(DIPIVCheckBox);
      return;
    }
    if (name.find('=') != std::string::npos) {
      ShowOptionsMessage(TOptionsMsg::EqualsInVarName, msgLang);
      PageControl1->setCurrentWidget(TabSheet5);
      FocusIfPossible(DuplicateIPVar);
      return;
    }
    if (name.size() < 5 || name.compare(0, 5, "HTTP_") != 0) {
      PageControl1->setCurrentWidget(TabSheet5);
      FocusIfPossible(DuplicateIPVar);
      const TOptionsMessage q = OptionsMessage(TOptionsMsg::NoHttpPrefix, msgLang);
      if (MessageBox(q.Text, name, q.Type, q.Buttons) != mrYes) return;
    }
  }

  // 5 to 8: the main window applies the controls, stores them and follows them itself.
  FMainForm->ApplyOptions(*this);

  // 9.
  accept();
}

void TOptionsForm::CancelButtonClick() { reject(); }

void TOptionsForm::UpdateIPFilterControls() {
  const bool on = UseIPFilteringCheckBox->isChecked();
  EnableWithColour(IPFiltersListBox, on);
  for (QPushButton* b : {IPFilterAdd, IPFilterEdit, IPFilterRemove, IPFiltersClear})
    b->setEnabled(on);
}

void TOptionsForm::UseIPFilteringCheckBoxClick() { UpdateIPFilterControls(); }

void TOptionsForm::ShowCatContCheckBoxClick() {
  EnableWithColour(IndexCssURL, ShowCatContCheckBox->isChecked());
}

void TOptionsForm::ECGICheckBoxClick() {
  const bool on = ECGICheckBox->isChecked();
  Label5->setEnabled(on);
  EnableWithColour(CGIDir, on);
  RestoreDefCGIDirButton->setEnabled(on);
  USCGIFCheckBox->setEnabled(on);
  DNICGICheckBox->setEnabled(on);
  CGIAssocGroupBox->setEnabled(on);
  PaintByState(CGIAssocListBox, on);
  if (on) {
    USCGIFCheckBoxClick();
  } else {
    EnableWithColour(SeparateCGIFolder, false);
  }
}

void TOptionsForm::USCGIFCheckBoxClick() {
  EnableWithColour(SeparateCGIFolder, USCGIFCheckBox->isChecked());
}

void TOptionsForm::DIPIVCheckBoxClick() {
  EnableWithColour(DuplicateIPVar, DIPIVCheckBox->isChecked());
}

void TOptionsForm::RestoreDefCGIDirButtonClick() { CGIDir->setText(QStringLiteral("/cgi-bin/")); }
