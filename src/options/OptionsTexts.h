// The options dialog's own message and input-box texts, Russian and English, in one table.
#pragma once
#include <string>

#include "platform/Dialogs.h"

enum class TOptionsMsg {
  WrongRootPath,
  WrongCgiFolder,
  WrongCssUrl,
  SenselessRemoteAddr,
  EqualsInVarName,
  NoHttpPrefix,  // no caption in the table: the variable name is shown there
  BadMaskChars,
  NoMaskToEdit,
  NoMaskToRemove,
  MaskListEmpty,
  ClearMaskList,
  EmptyAssocPart,
  NoAssocToEdit,
  NoAssocToRemove,
  AssocListEmpty,
  ClearAssocList,
  RootPathEmpty,
  NoRootToRemove,
  NoRootSelected,
  // The filter test speaks English in every language.
  TestBadAddress,
  TestBadMask,
  TestDenied,
  TestAllowed,
};

enum class TOptionsInput {
  AddMask,
  EditMask,
  AddAssocExtensions,
  AddAssocProgram,
  EditAssocExtensions,
  EditAssocProgram,
  TestAddress,
  TestMask,
};

struct TOptionsMessage {
  std::string Caption;  // cp1251
  std::string Text;     // cp1251
  TMsgDlgType Type;
  TMsgDlgButtons Buttons;
};

struct TOptionsPrompt {
  std::string Caption;  // cp1251
  std::string Prompt;   // cp1251
};

// Russian when language is 0, English for every other value.
[[nodiscard]] TOptionsMessage OptionsMessage(TOptionsMsg id, int language);
[[nodiscard]] TOptionsPrompt OptionsPrompt(TOptionsInput id, int language);

// Shows the message in the language with the table's caption.
int ShowOptionsMessage(TOptionsMsg id, int language);
// Shows the input box; value opens it and receives the entry on OK.
[[nodiscard]] bool AskOptionsInput(TOptionsInput id, int language, std::string& value);
