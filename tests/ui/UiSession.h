// The program's windows for window tests: made and destroyed as the program entry does, in a
// fresh folder with an optional settings hive, with message boxes answered and recorded.
#pragma once
#include <QComboBox>
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/ProgramWindows.h"
#include "app/Unit1.h"
#include "options/Unit2.h"
#include "platform/Codec.h"
#include "platform/Dialogs.h"
#include "support/TestSupport.h"
#include "ui/Unit3.h"

inline std::string LanguageValue(int l) {
  char text[32];
  std::snprintf(text, sizeof text, "\"L\"=dword:%08x", l);
  return text;
}

// The program's three windows, made as the program entry makes them, in a fresh folder.
struct Session {
  TempDir Dir;
  std::unique_ptr<TForm1> Form;
  std::vector<std::string> Boxes;
  TMessageBoxHandler OldHandler;

  explicit Session(const std::string& hive = std::string()) {
    if (!hive.empty()) WriteFile(Dir / "HKLM.reg", hive);
    OldHandler = SetMessageBoxHandler(
        [this](const std::string& text, const std::string& caption, TMsgDlgType, TMsgDlgButtons) {
          Boxes.push_back(Cp1251ToUtf8(caption) + ": " + Cp1251ToUtf8(text));
          return static_cast<int>(mrOk);
        });
    Form = std::make_unique<TForm1>(0, Dir.Path());
    ::Form1 = Form.get();
    ::OptionsForm = new TOptionsForm(Form.get(), Form.get());
    ::AboutBox = new TAboutBox(Form.get());
  }
  ~Session() {
    Close();
    SetMessageBoxHandler(OldHandler);
  }
  // The windows go as the program entry lets them go: About box, options dialog, main window.
  void Close() {
    delete ::AboutBox;
    delete ::OptionsForm;
    ::AboutBox = nullptr;
    ::OptionsForm = nullptr;
    ::Form1 = nullptr;
    Form.reset();
  }
  void Show() {
    Form->show();
    QCoreApplication::processEvents();
  }
  std::string Hive() const { return ReadFile(Dir / "HKLM.reg"); }
  std::string Log() const { return ReadFile(Dir / "brevoxa.log"); }
  // What the user does: pick an entry in the drop-down list.
  void ChooseLanguage(int index) {
    Form->LangComboBox->setCurrentIndex(index);
    emit Form->LangComboBox->activated(index);
  }
};
