// Which window system the windows go to, decided before the application object exists: Qt ends
// the process with an abort when the platform it was given cannot start.
#pragma once
#include <string>

struct TDisplayChoice {
  // Qt's platform: "wayland", "xcb", "offscreen" (no display was asked for), or empty when a
  // display was asked for and none can be used.
  std::string Platform;
  // When Platform is empty: what is missing, as one line for standard error (no newline).
  std::string Problem;
};

// A Wayland session is preferred to X11 (XWayland) when both are there.
TDisplayChoice ChooseDisplay();
