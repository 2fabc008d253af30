// The menu file: parsed as the menu poll reads it, then drawn as a panel and
// as a message screen (full width and in the sidebar column) on a small canvas
// chosen by the first byte.
#include "fuzz/fuzz_input.h"
#include "overlay/menu.h"
#include "overlay/text.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    font_init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    std::string keep;
    FILE *f = fuzz_file(data + 1, size - 1, &keep);
    if (!f) return 0;
    MenuState m{};
    menu_parse(f, &m);
    fclose(f);
    for (int i = 0; i < m.count && i < menu_max_items; i++) {
        char label[64];
        menu_item_split(m.items[i], label, sizeof label);
    }
    FuzzCanvas &c = fuzz_canvas(data[0]);
    draw_menu_panel(c.bytes(), c.pitch(), c.w, c.h, m);
    draw_message_screen(c.bytes(), c.pitch(), c.w, c.h, m.message_text, (data[0] & 4) != 0);
    return 0;
}
