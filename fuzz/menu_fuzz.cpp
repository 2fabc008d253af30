// The menu file: parsed as the menu poll reads it, then drawn as a panel, as
// the sidebar column and as a message screen (full width or in the column) on
// a small canvas chosen by the first byte.
#include "fuzz/fuzz_input.h"
#include "overlay/menu.h"
#include "overlay/text.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    font_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    const std::string text = fuzz_control_text(data + 1, size - 1);
    MenuState m{};
    menu_parse(text.c_str(), text.size(), &m);
    for (int i = 0; i < m.count && i < menu_max_items; i++) {
        char label[64];
        menu_item_split(m.items[i], label, sizeof label);
    }
    FuzzCanvas &c = fuzz_canvas(data[0]);
    draw_menu_panel(c.bytes(), c.pitch(), c.w, c.h, m);
    draw_message_screen(c.bytes(), c.pitch(), c.w, c.h, m.message_text, (data[0] & 4) != 0);
    draw_menu_sidebar(c.bytes(), c.pitch(), c.w, c.h, m);
    return 0;
}
