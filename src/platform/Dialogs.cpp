#include "platform/Dialogs.h"

#include <cstdio>

#include "platform/Codec.h"

namespace {

// Without a window system nobody can answer: report on standard error and take the default.
int HeadlessMessageBox(const std::string& text, const std::string& caption, TMsgDlgType,
                       TMsgDlgButtons buttons) {
  std::fprintf(stderr, "%s: %s\n", Cp1251ToUtf8(caption).c_str(), Cp1251ToUtf8(text).c_str());
  return buttons == mbYesNo ? mrYes : mrOk;
}

bool HeadlessInputBox(const std::string&, const std::string&, std::string&) { return false; }

TMessageBoxHandler& MessageBoxSlot() {
  static TMessageBoxHandler handler = HeadlessMessageBox;
  return handler;
}

TInputBoxHandler& InputBoxSlot() {
  static TInputBoxHandler handler = HeadlessInputBox;
  return handler;
}

}  // namespace

int MessageBox(const std::string& text, const std::string& caption, TMsgDlgType type,
               TMsgDlgButtons buttons) {
  return MessageBoxSlot()(text, caption, type, buttons);
}

bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value) {
  return InputBoxSlot()(caption, prompt, value);
}

TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler) {
  TMessageBoxHandler old = MessageBoxSlot();
  MessageBoxSlot() = handler ? std::move(handler) : TMessageBoxHandler(HeadlessMessageBox);
  return old;
}

TInputBoxHandler SetInputBoxHandler(TInputBoxHandler handler) {
  TInputBoxHandler old = InputBoxSlot();
  InputBoxSlot() = handler ? std::move(handler) : TInputBoxHandler(HeadlessInputBox);
  return old;
}
