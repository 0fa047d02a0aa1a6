// The real message box and input box, put in place of the headless ones when a display exists,
// and what the desktop needs around them: captions exactly as given, and the standard buttons in
// the user's language.
#pragma once

class QLocale;

void InstallQtDialogs();
// Qt's own translations (Yes, No, OK, Cancel...) for locale, replacing any loaded before; false,
// and English, where the system has none for it.
bool LoadQtTranslations(const QLocale& locale);
