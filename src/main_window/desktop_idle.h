#pragma once

#include "core/idle_source.h"

#include <memory>

// The desktop's own count of the time since the last input, and its screen lock, which no
// portable Qt API gives. The first of these that answers here is taken, once, at start:
//   - org.freedesktop.ScreenSaver on the session bus (Plasma and others);
//   - GNOME's org.gnome.Mutter.IdleMonitor, with org.gnome.ScreenSaver for the lock;
//   - on X11, the X server's MIT-SCREEN-SAVER extension (the lock unknown there);
//   - logind's idle and lock hints of this session, on the system bus.
// None: a source whose name() is empty. Every question to a service after that is
// asynchronous, so a hung desktop service never holds the windows up.
std::unique_ptr<IdleSource> makeDesktopIdleSource(QObject *parent = nullptr);
