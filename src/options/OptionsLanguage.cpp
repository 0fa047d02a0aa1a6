// The options dialog's rows of the language table: captions, tab texts, list items and hints;
// the check boxes' rows are named by the binding table.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTabWidget>
#include <QToolButton>

#include "options/Unit2.h"
#include "ui/Languages.h"

namespace {

void SetTabText(QTabWidget* pages, QWidget* page, const QString& text) {
  const int index = pages->indexOf(page);
  if (index >= 0) pages->setTabText(index, text);
}

}  // namespace

void TOptionsForm::ApplyLanguage(int language) {
  ForEachLanguageRow(TLangWindow::Options, language, [this](int row, const char* utf8) {
    const QString text = QString::fromUtf8(utf8);
    // The check boxes name their rows in the binding table.
    if (QCheckBox* box = CheckBoxOfLanguageRow(row)) {
      box->setText(text);
      return;
    }
    switch (row) {
      case lrOptionsCaption:
        setWindowTitle(text);
        break;
      case lrTabSheet1:
        SetTabText(PageControl1, TabSheet1, text);
        break;
      case lrTabSheet2:
        SetTabText(PageControl1, TabSheet2, text);
        break;
      case lrOptionsOK:
        OKButton->setText(text);
        break;
      case lrOptionsCancel:
        CancelButton->setText(text);
        break;
      case lrRootPathLabel:
        Label1->setText(text);
        break;
      case lrLanguageLabel:
        Label3->setText(text);
        break;
      case lrLanguageItem0:
      case lrLanguageItem1:
      case lrLanguageItem2:
      case lrLanguageItem3:
        // Replaced in place, so the selection stays where it is.
        if (row - lrLanguageItem0 < Language->count())
          Language->setItemText(row - lrLanguageItem0, text);
        break;
      case lrLogLabel:
        Label2->setText(text);
        break;
      case lrTabSheet3:
        SetTabText(PageControl1, TabSheet3, text);
        break;
      case lrIPFilterAdd:
        IPFilterAdd->setText(text);
        break;
      case lrIPFilterEdit:
        IPFilterEdit->setText(text);
        break;
      case lrIPFilterRemove:
        IPFilterRemove->setText(text);
        break;
      case lrIPFiltersClear:
        IPFiltersClear->setText(text);
        break;
      case lrIndexCssLabel:
        Label4->setText(text);
        break;
      case lrCGIDirLabel:
        Label5->setText(text);
        break;
      case lrRestoreDefCGIDir:
        RestoreDefCGIDirButton->setText(text);
        break;
      case lrTabSheet5:
        SetTabText(PageControl1, TabSheet5, text);
        break;
      case lrCGIAssocGroupBox:
        CGIAssocGroupBox->setTitle(text);
        break;
      case lrCGIAssocAdd:
        CGIAssocAdd->setText(text);
        break;
      case lrCGIAssocEdit:
        CGIAssocEdit->setText(text);
        break;
      case lrCGIAssocRemove:
        CGIAssocRemove->setText(text);
        break;
      case lrCGIAssocClear:
        CGIAssocClear->setText(text);
        break;
      case lrAddRootHint:
        AddRootButton->setToolTip(text);
        break;
      case lrRemoveRootHint:
        RemoveRootButton->setToolTip(text);
        break;
      default:
        break;
    }
  });
}
