// The start-up peer: the least an Allegro program does to show one frame in a
// display of Kelvane's default size and flags.
#include <allegro5/allegro.h>
#include <cstdio>

int main() {
    if (!al_init()) return 1;
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL | ALLEGRO_RESIZABLE);
    ALLEGRO_DISPLAY *d = al_create_display(1400, 860);
    if (!d) return 1;
    al_clear_to_color(al_map_rgb(22, 24, 29));
    al_flip_display();
    fprintf(stderr, "first frame drawn\n");
    fflush(stderr);
    al_destroy_display(d);
    return 0;
}
