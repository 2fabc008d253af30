#include "overlay/overlay.h"

// The menu, OSD, telemetry and connect overlays are not drawn yet: their
// control files are not read and nothing is composed.
int poll_menu() {
    return 0;
}
int poll_osd() {
    return 0;
}
int poll_telemetry() {
    return 0;
}
int poll_connect() {
    return 0;
}
bool menu_is_open() {
    return false;
}
bool menu_message_shown() {
    return false;
}
void compose_overlay() {}
