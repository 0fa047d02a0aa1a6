// Message boxes and the input box. The core calls these plain functions; the window side
// installs the real dialogs, tests install answers, and a run without a display writes the
// box to standard error and takes its default button. All texts are cp1251.
#pragma once
#include <functional>
#include <string>

enum TMsgDlgType { mtWarning, mtError, mtInformation, mtConfirmation };
enum TMsgDlgButtons { mbOK, mbYesNo };
enum TModalResult { mrNone = 0, mrOk = 1, mrCancel = 2, mrYes = 6, mrNo = 7 };

int MessageBox(const std::string& text, const std::string& caption, TMsgDlgType type,
               TMsgDlgButtons buttons = mbOK);
// True when OK was pressed; value holds the entry then. value opens the box as its text.
bool InputQuery(const std::string& caption, const std::string& prompt, std::string& value);

using TMessageBoxHandler = std::function<int(const std::string& text, const std::string& caption,
                                             TMsgDlgType, TMsgDlgButtons)>;
using TInputBoxHandler =
    std::function<bool(const std::string& caption, const std::string& prompt, std::string& value)>;
// Returns the handler that was in place, so a test can put it back.
TMessageBoxHandler SetMessageBoxHandler(TMessageBoxHandler handler);
TInputBoxHandler SetInputBoxHandler(TInputBoxHandler handler);
