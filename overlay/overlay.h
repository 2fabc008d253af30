#pragma once
// The overlays the loop drives each pass: menu, OSD pop-ups, telemetry HUD and
// connect screen, composed onto each output's overlay plane.
#include "overlay/connect.h"

// Polls of the control files; each returns 1 when what it shows changed.
int poll_menu();
int poll_osd();
int poll_telemetry();

// Whether the menu is open, and whether the menu file carries a message
// (which blanks the video).
bool menu_is_open();
bool menu_message_shown();

// Composes the overlay of every output (menu or message, detection boxes, HUD,
// OSD pop-up) and flips it onto its overlay plane; holds g_overlay_lock.
void render_menu_all();
inline void compose_overlay() {
    render_menu_all();
}

// Start-up: one read of the menu and OSD files, then the first composition.
void overlay_startup();
