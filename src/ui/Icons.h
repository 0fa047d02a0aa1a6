// The program's pictures, drawn in code so that no artwork file has to travel with it.
#pragma once
#include <QIcon>

// The application and tray icon: a small globe.
QIcon BrevoxaIcon();
// The About button's picture: the theme's "help-about", else a drawn "i".
QIcon AboutIcon();
