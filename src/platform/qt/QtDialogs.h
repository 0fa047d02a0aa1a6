// The real message box and input box, put in place of the headless ones when a display exists.
#pragma once

void InstallQtDialogs();
