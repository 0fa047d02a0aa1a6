// A running server window with its options dialog, and scripted answers for every message box
// and input box the dialog shows, so the dialog's handlers run without anybody at the screen.
#pragma once
#include <gtest/gtest.h>

#include <QApplication>
#include <QListWidget>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "app/ProgramWindows.h"
#include "app/Unit1.h"
#include "options/Unit2.h"
#include "platform/Codec.h"
#include "platform/Dialogs.h"
#include "support/TestSupport.h"

struct TShownMessage {
  std::string Text;     // UTF-8
  std::string Caption;  // UTF-8
  TMsgDlgType Type;
  TMsgDlgButtons Buttons;
};

struct TAskedInput {
  std::string Caption;  // UTF-8
  std::string Prompt;   // UTF-8
  std::string Opening;  // UTF-8: the text the entry opened with
};

struct TInputAnswer {
  bool Ok;
  std::string Value;  // UTF-8
};

inline QString Q(const std::string& utf8) { return QString::fromStdString(utf8); }
inline std::string U(const QString& s) { return s.toStdString(); }

inline std::vector<std::string> Items(const QListWidget* list) {
  std::vector<std::string> out;
  for (int i = 0; i < list->count(); ++i) out.push_back(U(list->item(i)->text()));
  return out;
}

class OptionsFixture : public ::testing::Test {
 public:
  void SetUp() override {
    FOldMessageBox =
        SetMessageBoxHandler([this](const std::string& text, const std::string& caption,
                                    TMsgDlgType type, TMsgDlgButtons buttons) {
          Messages.push_back({Cp1251ToUtf8(text), Cp1251ToUtf8(caption), type, buttons});
          if (!MessageAnswers.empty()) {
            const int answer = MessageAnswers.front();
            MessageAnswers.pop_front();
            return answer;
          }
          return buttons == mbYesNo ? static_cast<int>(mrNo) : static_cast<int>(mrOk);
        });
    FOldInputBox = SetInputBoxHandler(
        [this](const std::string& caption, const std::string& prompt, std::string& value) {
          Inputs.push_back({Cp1251ToUtf8(caption), Cp1251ToUtf8(prompt), Cp1251ToUtf8(value)});
          // Without a scripted answer the box is cancelled, so no loop can run forever.
          if (InputAnswers.empty()) return false;
          const TInputAnswer answer = InputAnswers.front();
          InputAnswers.pop_front();
          if (answer.Ok) value = Utf8ToCp1251(answer.Value);
          return answer.Ok;
        });
    Form = std::make_unique<TForm1>(0, Dir.Path());
    Dialog = std::make_unique<TOptionsForm>(Form.get());
    OptionsForm = Dialog.get();
  }

  void TearDown() override {
    if (Dialog) Dialog->hide();
    OptionsForm = nullptr;
    Dialog.reset();
    Form.reset();
    SetMessageBoxHandler(FOldMessageBox);
    SetInputBoxHandler(FOldInputBox);
  }

  // Starts over as the program does on a machine whose settings hive holds hive.
  void StartWithHive(const std::string& hive) {
    if (Dialog) Dialog->hide();
    OptionsForm = nullptr;
    Dialog.reset();
    Form.reset();
    WriteFile(HivePath(), hive);
    Form = std::make_unique<TForm1>(0, Dir.Path());
    Dialog = std::make_unique<TOptionsForm>(Form.get());
    OptionsForm = Dialog.get();
  }

  // Shows the dialog as the main window does, which loads the controls.
  void ShowDialog() {
    Dialog->show();
    QApplication::processEvents();
  }

  std::string HivePath() const { return Dir / "HKLM.reg"; }

  TempDir Dir;
  std::unique_ptr<TForm1> Form;
  std::unique_ptr<TOptionsForm> Dialog;
  std::vector<TShownMessage> Messages;
  std::deque<int> MessageAnswers;
  std::vector<TAskedInput> Inputs;
  std::deque<TInputAnswer> InputAnswers;

 private:
  TMessageBoxHandler FOldMessageBox;
  TInputBoxHandler FOldInputBox;
};
