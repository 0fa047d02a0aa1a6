#include "platform/qt/QtDialogs.h"

#include <QApplication>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include "platform/Codec.h"
#include "platform/Dialogs.h"

namespace {

QString FromCp1251(const std::string& text) { return QString::fromStdString(Cp1251ToUtf8(text)); }

int QtMessageBox(const std::string& text, const std::string& caption, TMsgDlgType type,
                 TMsgDlgButtons buttons) {
  QMessageBox::Icon icon = QMessageBox::Warning;
  switch (type) {
    case mtWarning: icon = QMessageBox::Warning; break;
    case mtError: icon = QMessageBox::Critical; break;
    case mtInformation: icon = QMessageBox::Information; break;
    case mtConfirmation: icon = QMessageBox::Question; break;
  }
  QMessageBox box(icon, FromCp1251(caption), FromCp1251(text),
                  buttons == mbYesNo ? (QMessageBox::Yes | QMessageBox::No) : QMessageBox::Ok,
                  QApplication::activeWindow());
  int answer = box.exec();
  if (buttons == mbYesNo) return answer == QMessageBox::Yes ? mrYes : mrNo;
  return mrOk;
}

// The entry holds at most 255 characters, as the stored list items do.
constexpr int kInputMaxLength = 255;

bool QtInputBox(const std::string& caption, const std::string& prompt, std::string& value) {
  QInputDialog dialog(QApplication::activeWindow());
  dialog.setWindowTitle(FromCp1251(caption));
  dialog.setLabelText(FromCp1251(prompt));
  dialog.setInputMode(QInputDialog::TextInput);
  dialog.setTextValue(FromCp1251(value));
  if (auto* edit = dialog.findChild<QLineEdit*>()) edit->setMaxLength(kInputMaxLength);
  if (dialog.exec() != QDialog::Accepted) return false;
  value = Utf8ToCp1251(dialog.textValue().toStdString());
  return true;
}

}  // namespace

void InstallQtDialogs() {
  SetMessageBoxHandler(QtMessageBox);
  SetInputBoxHandler(QtInputBox);
}
