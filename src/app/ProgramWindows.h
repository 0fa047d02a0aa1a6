// The program's three windows, created once at start-up in this order. Only the program entry,
// which makes and destroys them, and the main window, which shows and relabels the two
// dialogs, reach them through these names; every other part is handed what it needs.
#pragma once

class TForm1;
class TOptionsForm;
class TAboutBox;

extern TForm1* Form1;
extern TOptionsForm* OptionsForm;
extern TAboutBox* AboutBox;
