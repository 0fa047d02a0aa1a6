// Whether the desktop's notification area speaks the StatusNotifierItem protocol over D-Bus
// (KDE Plasma, GNOME with the AppIndicator extension, most current panels) rather than X11
// embedding.
#pragma once

// True when a StatusNotifierWatcher on the session bus has a host registered: Qt then shows its
// tray icons through that host.
bool StatusNotifierHostRegistered();
