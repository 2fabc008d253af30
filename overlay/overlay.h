#pragma once
// The overlays the loop drives each pass: menu, OSD pop-ups, telemetry HUD and
// connect screen, composed onto each output's overlay plane.

// Polls of the control files; each returns 1 when what it shows changed.
int poll_menu();
int poll_osd();
int poll_telemetry();
int poll_connect();

// Whether the menu is open, and whether the menu file carries a message
// (which blanks the video).
bool menu_is_open();
bool menu_message_shown();

// Composes the overlay of every output and flips it onto its overlay plane.
void compose_overlay();
