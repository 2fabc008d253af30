#pragma once
// The on-screen menu and the overlay composition.
//
// Another process decides what the menu shows and writes it whole into the
// menu file ("/run/vex-fpv/menu", or the path in VEX_KMS_MENU); poll_menu
// re-reads it when its modification time changes. render_menu_all repaints the
// overlay of every output: the menu or a message screen, detection boxes, the
// telemetry HUD and the OSD pop-up, drawn into the hidden one of the output's
// two overlay buffers, which is then flipped onto the overlay plane. An output
// without an overlay plane gets the menu as a sidebar in its standby buffer.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <pthread.h>

struct Output;
struct DetectionSnapshot;
struct TextLines;

constexpr int menu_max_items = 12;

// The menu as the file last described it; rebuilt whole on every change.
struct MenuState {
    int32_t open;     // first line begins with "open"
    int32_t tab;      // selected tab (clamped to 0..3 when drawn)
    int32_t focus;    // 0: the tab column has the focus, else the item list
    int32_t selected; // selected item (only when focus != 0)
    int32_t count;    // items read, 0..12
    char title[64];
    char items[menu_max_items][64];
    int32_t message; // first line begins with "message"
    char message_text[96];
};

// Main thread only: written by poll_menu, read by the composition.
extern MenuState g_menu;
// Held by render_menu_all for its whole pass over the outputs.
extern pthread_mutex_t g_overlay_lock;

// Tab names, in order.
extern const char *const menu_tab_names[4];

// Reads a menu file's contents (len bytes, any bytes) into a fresh state
// (lines of at most 127 bytes; a longer line is read as several).
void menu_parse(const char *data, size_t len, MenuState *out);

// Splits an item at its last ": " into label (copied, at most 63 characters)
// and value (returned, pointing into item; "" when there is no ": ").
const char *menu_item_split(const char *item, char *label, size_t label_size);

// Where the menu panel and its parts go on a W x H overlay.
struct MenuLayout {
    int32_t large; // H >= 1000
    int32_t fs, m, title_px, tab_pitch, tab_block, base_adj;
    int32_t px, py, pw, ph; // the panel
    int32_t tabw, dx, ix;   // tab column width, divider x, icon x
    int32_t tab_y0;         // y of tab row 0
    int32_t cx, cw, tb;     // content x and width, title baseline
    int32_t row0, rh;       // top of item row 0 and the row height for `count` items
};
MenuLayout menu_layout(int32_t W, int32_t H, int32_t count);

// Draws the menu panel (tabs with icons, title, items) onto a canvas.
void draw_menu_panel(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const MenuState &m);
// Draws the message screen: "Info" over the text, each centred in W (an
// overlay) or in the sidebar column (menu_sidebar_width: 360 wide, at most
// W/2); the text wrapped (and smaller when it needs more than three lines, six
// in the sidebar) so that it stays inside.
void draw_message_screen(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const char *text,
                         bool sidebar);
// The lines the message screen shows for text in a column `span` wide.
void message_lines(const char *text, int32_t span, bool sidebar, int32_t H, TextLines *out);

// Where the menu goes in the sidebar column (menu_sidebar_width) of an output
// without an overlay plane (the video is placed beside it): a strip of tab
// icons, the title, then the items, one per row.
struct SidebarLayout {
    int32_t large;             // H >= 1000
    int32_t sw, m;             // column width (menu_sidebar_width) and margin
    int32_t fs, title_px;      // item and title text sizes
    int32_t tab_y, tab_h;      // the tab strip
    int32_t cell_w;            // width of one tab cell
    int32_t tb;                // title baseline
    int32_t row0, rh, item_px; // top of item row 0, row height and item text size
};
SidebarLayout menu_sidebar_layout(int32_t W, int32_t H, int32_t count);
// Draws the menu into the sidebar column of a W x H canvas, column fill included.
void draw_menu_sidebar(uint8_t *px, uint32_t pitch, int32_t W, int32_t H, const MenuState &m);

// Composes one output's overlay for menu state m; det holds the detection
// results to draw (null: detection off), osd says whether a pop-up is active.
// A picture that is only the backdrop with the menu or a message, unflipped,
// going into a buffer that holds such a picture, is drawn again only in the
// box of the old menu or message and where the new one lies; every other
// picture, and the first after the plane was hidden (menu_front -1), whole.
// Either way the buffer then holds exactly the whole picture.
void compose_output(Output *o, const MenuState &m, const DetectionSnapshot *det, bool osd);

// Draws the sidebar again into the standby buffer of an output without an
// overlay plane, after that buffer was repainted or cleared; nothing when the
// menu is closed and no message is shown, or the output has an overlay plane.
void menu_redraw_sidebar(Output *o);
// The columns at the left of the output's standby buffer (as seen) that its
// sidebar covers now: the sidebar width while the menu or a message is shown
// on an output without an overlay plane, else 0.
int32_t menu_sidebar_covers(const Output *o);

// Shows overlay buffer `index` (0 or 1) of the output on its overlay plane,
// flipped first when the output has a flip.
void menu_present(Output *o, int index);
