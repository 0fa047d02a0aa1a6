// The options dialog's message and input-box texts. They are kept in UTF-8 here for the
// reader and turned into cp1251 on the way out, since every text inside the program is cp1251.
#include "options/OptionsTexts.h"

#include <array>

#include "platform/Codec.h"

namespace {

struct TMessageRow {
  TOptionsMsg Id;
  TMsgDlgType Type;
  TMsgDlgButtons Buttons;
  const char* EnglishCaption;
  const char* EnglishText;
  const char* RussianCaption;  // null: the English text serves every language
  const char* RussianText;
};

// The grave accents stand where the texts have always had them; they are not apostrophes.
constexpr std::array kMessages = {
    TMessageRow{TOptionsMsg::WrongRootPath, mtWarning, mbOK, "WRONG ROOT PATH",
                "Specified path must exist!", "НЕВЕРНЫЙ КОРНЕВОЙ КАТАЛОГ",
                "Указанный путь должен существовать!"},
    TMessageRow{TOptionsMsg::WrongCgiFolder, mtWarning, mbOK, "WRONG FOLDER FOR CGI DIR",
                "Specified path must exist!", "НЕВЕРНАЯ ПАПКА ДЛЯ CGI КАТАЛОГА",
                "Указанный путь должен существовать!"},
    TMessageRow{TOptionsMsg::WrongCssUrl, mtWarning, mbOK, "WRONG URL OF CSS-FILE FOR INDEX-PAGES",
                "You cannot enter local file paths in this URL!\nThe URL should be an INTERNET "
                "ADDRESS.\nPlease read USER`S MANUAL.",
                "НЕВЕРНЫЙ URL CSS-ФАЙЛА ДЛЯ ИНДЕКС-СТРАНИЦ",
                "Вы не можете вводить локальные пути в этот URL!\nURL должен быть АДРЕСОМ "
                "ИНТЕРНЕТ.\nПросьба прочесть РУКОВОДСТВО ПОЛЬЗОВАТЕЛЯ."},
    TMessageRow{
        TOptionsMsg::SenselessRemoteAddr, mtWarning, mbOK, "SENSELESS OPTION",
        "Variable REMOTE_ADDR is always set for CGI\nNo need in setting it manually\nPlease "
        "uncheck this option",
        "БЕССМЫСЛЕННАЯ НАСТРОЙКА",
        "Переменная REMOTE_ADDR всегда определена для CGI\nНе нужно устанавливать её "
        "вручную\nПожалуйста, снимите эту опцию"},
    TMessageRow{TOptionsMsg::EqualsInVarName, mtWarning, mbOK, "WRONG ENVIRONMENT VARIABLE NAME",
                "Variable name cannot contain '=' symbol", "НЕВЕРНОЕ ИМЯ ПЕРЕМЕННОЙ ОКРУЖЕНИЯ",
                "Имя переменной не может содержать символа '='"},
    TMessageRow{TOptionsMsg::NoHttpPrefix, mtConfirmation, mbYesNo, "",
                "It`s recommended for variable name\nto begin with HTTP_ prefix\n( e.g., "
                "HTTP_X_MY_VARIABLE )\nYour variable don`t. Apply anyway?",
                "",
                "Рекомендуется чтобы имя переменной\nначиналось префиксом HTTP_\n( например, "
                "HTTP_X_MY_VARIABLE )\nУ Вашей переменной- нет. Всё равно применить?"},
    TMessageRow{TOptionsMsg::BadMaskChars, mtWarning, mbOK, "Can`t accept this mask!",
                "Non-acceptable symbol(s) present in mask\n(e.g. Space or something "
                "other).\nPlease delete all of those.",
                "Не могу принять такую маску!",
                "В маске есть недопустимый(е) символ(ы)\n(например, Пробел или что-то "
                "другое).\nПожалуйста, удалите их все."},
    TMessageRow{TOptionsMsg::NoMaskToEdit, mtWarning, mbOK, "What to edit?",
                "No one of ranges is selected!", "Что изменять-то?",
                "Не выделен ни один из диапазонов!"},
    TMessageRow{TOptionsMsg::NoMaskToRemove, mtWarning, mbOK, "Dont know what to remove",
                "No one of ranges is selected!", "Не знаю, что удалять",
                "Не выделен ни один из диапазонов!"},
    TMessageRow{TOptionsMsg::MaskListEmpty, mtWarning, mbOK, "There`s no thing to remove!",
                "IP ranges list is empty", "Нечего удалять!", "Список диапазонов IP пуст"},
    TMessageRow{TOptionsMsg::ClearMaskList, mtConfirmation, mbYesNo, "Clearing the list",
                "All ranges shown will be removed!\nDo You confirm?", "Очистка списка",
                "Будут удалены все показанные диапазоны!\nПодтверждаете?"},
    TMessageRow{TOptionsMsg::EmptyAssocPart, mtWarning, mbOK, "YOU`VE MADE A MISTAKE!",
                "Empty strings are not allowed\nAssociation has NOT been added!", "ВЫ ОШИБЛИСЬ!",
                "Нельзя указывать пустые строки\nАссоцияция НЕ добавлена!"},
    TMessageRow{TOptionsMsg::NoAssocToEdit, mtWarning, mbOK, "What to edit?",
                "No one of associations is selected!", "Что изменять-то?",
                "Не выделена ни одна из ассоциаций!"},
    TMessageRow{TOptionsMsg::NoAssocToRemove, mtWarning, mbOK, "Dont know what to remove",
                "No one of associations is selected!", "Не знаю, что удалять",
                "Не выделена ни одна из ассоциаций!"},
    TMessageRow{TOptionsMsg::AssocListEmpty, mtWarning, mbOK, "There`s no thing to remove!",
                "CGI association list is empty", "Нечего удалять!", "Список CGI ассоциаций пуст"},
    TMessageRow{TOptionsMsg::ClearAssocList, mtConfirmation, mbYesNo, "Clearing CGI associations",
                "All associations would be removed!\nDo You confirm?", "Очистка CGI ассоциаций",
                "Будут удалены все ассоциации!\nПодтверждаете?"},
    TMessageRow{TOptionsMsg::RootPathEmpty, mtError, mbOK, "ERROR",
                "Fill 'Server root path' field please", "ОШИБКА",
                "Заполните поле 'Корневой каталог сервера' пожалуйста"},
    TMessageRow{TOptionsMsg::NoRootToRemove, mtWarning, mbOK, "Dont know what to remove",
                "No root in list is selected!", "Не знаю, что удалять",
                "Ни один путь-корень не выделен!"},
    TMessageRow{TOptionsMsg::NoRootSelected, mtWarning, mbOK, "ERROR", "debug. itind<0", "ОШИБКА",
                "debug. itind<0"},
    TMessageRow{TOptionsMsg::TestBadAddress, mtWarning, mbOK, "Can`t test",
                "This is not a valid [fake] IP", nullptr, nullptr},
    TMessageRow{TOptionsMsg::TestBadMask, mtWarning, mbOK, "Can`t test",
                "Wrong characters found in this [fake] IP range", nullptr, nullptr},
    TMessageRow{TOptionsMsg::TestDenied, mtInformation, mbOK, "Test result",
                "TForm1::TestWrongIP()==true (denied IP)", nullptr, nullptr},
    TMessageRow{TOptionsMsg::TestAllowed, mtInformation, mbOK, "Test result",
                "TForm1::TestWrongIP()==false (allowed IP)", nullptr, nullptr},
};

struct TPromptRow {
  TOptionsInput Id;
  const char* EnglishCaption;
  const char* EnglishPrompt;
  const char* RussianCaption;  // null: the English text serves every language
  const char* RussianPrompt;
};

constexpr std::array kPrompts = {
    TPromptRow{TOptionsInput::AddMask, "Adding an IP range",
               "Specify IP address mask:", "Добавление диапазона IP", "Введите маску IP-адресов:"},
    TPromptRow{TOptionsInput::EditMask, "Editing an IP range", "Change IP address mask:",
               "Изменение диапазона IP", "Отредактируйте маску IP-адресов:"},
    TPromptRow{TOptionsInput::AddAssocExtensions, "Adding CGI association, step 1",
               "File extensions (comma-separated):", "Добавление CGI ассоциации, шаг 1",
               "Расширения файлов (разделённые запятыми):"},
    TPromptRow{TOptionsInput::AddAssocProgram, "Adding CGI association, step 2",
               "Name (or full path) of exe-application:", "Добавление CGI ассоциации, шаг 2",
               "Имя (или полный путь) exe-приложения:"},
    TPromptRow{TOptionsInput::EditAssocExtensions, "Editing CGI association, step 1",
               "File extensions (comma-separated):", "Изменение CGI ассоциации, шаг 1",
               "Расширения файлов (разделённые запятыми):"},
    TPromptRow{TOptionsInput::EditAssocProgram, "Editing CGI association, step 2",
               "Name (or full path) of exe-application:", "Изменение CGI ассоциации, шаг 2",
               "Имя (или полный путь) exe-приложения:"},
    TPromptRow{TOptionsInput::TestAddress, "enter [fake] IP", "", nullptr, nullptr},
    TPromptRow{TOptionsInput::TestMask, "enter [fake] IP filtering mask", "", nullptr, nullptr},
};

bool UseRussian(int language, const char* russian) { return language == 0 && russian != nullptr; }

}  // namespace

TOptionsMessage OptionsMessage(TOptionsMsg id, int language) {
  for (const TMessageRow& row : kMessages) {
    if (row.Id != id) continue;
    const bool ru = UseRussian(language, row.RussianCaption);
    return {Utf8ToCp1251(ru ? row.RussianCaption : row.EnglishCaption),
            Utf8ToCp1251(ru ? row.RussianText : row.EnglishText), row.Type, row.Buttons};
  }
  return {};  // every id has its row; reaching here is a missing row
}

TOptionsPrompt OptionsPrompt(TOptionsInput id, int language) {
  for (const TPromptRow& row : kPrompts) {
    if (row.Id != id) continue;
    const bool ru = UseRussian(language, row.RussianCaption);
    return {Utf8ToCp1251(ru ? row.RussianCaption : row.EnglishCaption),
            Utf8ToCp1251(ru ? row.RussianPrompt : row.EnglishPrompt)};
  }
  return {};
}

int ShowOptionsMessage(TOptionsMsg id, int language) {
  const TOptionsMessage m = OptionsMessage(id, language);
  return MessageBox(m.Text, m.Caption, m.Type, m.Buttons);
}

bool AskOptionsInput(TOptionsInput id, int language, std::string& value) {
  const TOptionsPrompt p = OptionsPrompt(id, language);
  return InputQuery(p.Caption, p.Prompt, value);
}
