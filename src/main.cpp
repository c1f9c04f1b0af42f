// Program entry: command line, start-up, the event loop and shutdown.

#include <allegro5/allegro.h>
#include <allegro5/allegro_font.h>
#include <allegro5/allegro_image.h>
#include <allegro5/allegro_primitives.h>
#include <allegro5/allegro_ttf.h>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "kvn_api.h"
#include "kvn_app.h"
#include "kvn_config.h"
#include "kvn_gui_cmdtools.h"
#include "kvn_gui_dialogs.h"
#include "kvn_gui_sgrules.h"
#include "kvn_gui_term.h"
#include "kvn_gui_tools.h"
#include "kvn_gui_wizard.h"
#include "kvn_gui_form.h"
#include "kvn_gui_layout.h"
#include "kvn_gui_main.h"
#include "kvn_gui_resource.h"
#include "kvn_jobs.h"
#include "kvn_paths.h"
#include "kvn_theme.h"
#include "q_common.h"
#include "q_gui.h"
#include "q_http_client.h"

namespace {
const char *const KVN_VERSION = "0.1.0";
const char *const KVN_BUILD_TAG = "dev";

const char *const k_usage = "Kelvane %s\n"
                            "usage: %s [-v level] [--env] [--open view] [-h]\n"
                            "  -v level     log level: 0 error .. 3 debug (default notice)\n"
                            "  --env        connect at once with the OS_* environment (a sourced openrc,\n"
                            "               or OS_CLOUD naming a cloud of clouds.yaml)\n"
                            "  --open view  open a view: overview, history, topology, usage or\n"
                            "               service.resource such as compute.server\n"
                            "  -h        this help\n"
                            "Profiles live in the config directory (KVN_HOME overrides it).\n";

struct KVN_ARGS {
    int verbosity_given;
    int log_level;
    int use_env;
    const char *open_view;
    int help;
};

// Set from the signal handler; the loop sees it at the next timer tick at the
// latest, and ends as a confirmed quit would, so shutdown still saves.
volatile sig_atomic_t g_stop_signal = 0;

void _on_stop_signal(int) {
    g_stop_signal = 1;
}

int _level_for_verbosity(int v) {
    static const int k_levels[4] = {Q_LOG_ERR, Q_LOG_NOTICE, Q_LOG_INFO, Q_LOG_DEBUG};
    if (v < 0) v = 0;
    if (v > 3) v = 3;
    return k_levels[v];
}

void _parse_args(int argc, char **argv, KVN_ARGS *args) {
    memset(args, 0, sizeof *args);
    for (int i = 1; i < argc; i++) {
        const char *a = argv[i];
        if (!strcmp(a, "-h") || !strcmp(a, "--help")) {
            args->help = 1;
            return;
        }
        if (!strcmp(a, "-v")) {
            if (i + 1 >= argc) continue;
            args->verbosity_given = 1;
            args->log_level = _level_for_verbosity(atoi(argv[++i]));
        } else if (!strcmp(a, "--env")) {
            args->use_env = 1;
        } else if (!strcmp(a, "--open")) {
            if (i + 1 >= argc) continue;
            args->open_view = argv[++i];
        }
    }
}

void _quit_confirmed(void *user) {
    static_cast<KVN_APP *>(user)->running = 0;
}

void _ask_quit(KVN_APP *app) {
    kvn_gui_confirm("Quit", "Quit Kelvane?", "Running operations are cancelled.", _quit_confirmed, app,
                    nullptr);
}

void _draw_frame(KVN_APP *app) {
    al_set_target_backbuffer(app->display);
    al_clear_to_color(kvn_theme_current()->background);
    q_gui_draw(app->gui);
    al_flip_display();
    q_gui_draw_detached(app->gui);
}

ALLEGRO_FONT *_load_fallback_font(void) {
    static const char *const k_paths[] = {
        "/usr/share/fonts/truetype/droid/DroidSansFallbackFull.ttf",
        "/usr/share/fonts/opentype/noto/NotoSansCJK-Regular.ttc",
        "/usr/share/fonts/noto-cjk/NotoSansCJK-Regular.ttc",
        "/usr/share/fonts/google-noto-cjk/NotoSansCJK-Regular.ttc",
        "C:/Windows/Fonts/msyh.ttc",
        "C:/Windows/Fonts/simsun.ttc",
        "C:/Windows/Fonts/seguisym.ttf",
    };
    for (const char *p : k_paths) {
        ALLEGRO_FONT *f = al_load_ttf_font(p, 13, 0);
        if (f) return f;
    }
    return nullptr;
}

void _load_fonts(KVN_APP *app) {
    char path[KVN_PATH_MAX];
    kvn_paths_app_file(path, sizeof path, "assets/fonts/inter.ttf");
    app->ui_font = al_load_ttf_font(path, 14, 0);
    if (!app->ui_font) {
        q_log(Q_LOG_NOTICE, "TTF font not found at %s, using the builtin font", path);
        app->ui_font = al_create_builtin_font();
    }
    kvn_paths_app_file(path, sizeof path, "assets/fonts/jetbrainsmono.ttf");
    app->mono_font = al_load_ttf_font(path, 13, 0);
    app->fallback_font = _load_fallback_font();
    if (app->fallback_font) {
        if (app->ui_font) al_set_fallback_font(app->ui_font, app->fallback_font);
        if (app->mono_font) al_set_fallback_font(app->mono_font, app->fallback_font);
    }
}

// A geometry saved on a larger screen: the size is cut to the monitor that
// holds the saved position (the first one when none does) and the window
// moved to lie on it.
void _fit_to_monitor(int *x, int *y, int *w, int *h) {
    ALLEGRO_MONITOR_INFO mi;
    if (!al_get_monitor_info(0, &mi)) return;
    const bool known = *x != INT_MAX && *y != INT_MAX;
    for (int i = 1; known && i < al_get_num_video_adapters(); i++) {
        ALLEGRO_MONITOR_INFO m;
        if (al_get_monitor_info(i, &m) && *x >= m.x1 && *x < m.x2 && *y >= m.y1 && *y < m.y2) mi = m;
    }
    if (*w > mi.x2 - mi.x1) *w = mi.x2 - mi.x1;
    if (*h > mi.y2 - mi.y1) *h = mi.y2 - mi.y1;
    if (!known) return;
    if (*x + *w > mi.x2) *x = mi.x2 - *w;
    if (*y + *h > mi.y2) *y = mi.y2 - *h;
    if (*x < mi.x1) *x = mi.x1;
    if (*y < mi.y1) *y = mi.y1;
}

// Start-up timing (and a user reading the log) learns when the figures of
// the first connection were on screen, not only fetched. Once per run.
bool _tell_overview_drawn(KVN_APP *app) {
    KVN_OVERVIEW_IDS ov;
    kvn_gui_main_overview_ids(&ov);
    if (!ov.loaded || ov.window < 0 || !q_gui_window_is_open(app->gui, ov.window)) return false;
    q_log(Q_LOG_INFO, "overview drawn with figures");
    return true;
}

// One round of the event loop per event. Returns when running is cleared.
// A frame is drawn only when something changed: the toolkit asks for one,
// a job was delivered, a view changed, or the display needs its picture
// again; an idle program draws nothing.
void _event_loop(KVN_APP *app, ALLEGRO_EVENT_QUEUE *queue) {
    bool redraw_pending = false;
    bool must_draw = false; // exposed, resized or switched back: the picture is gone
    bool overview_told = false;
    // The first frame goes out at once rather than on the first timer tick,
    // so the window never shows up empty.
    kvn_gui_main_tick();
    _draw_frame(app);
    q_log(Q_LOG_INFO, "first frame drawn");
    while (app->running) {
        ALLEGRO_EVENT ev;
        al_wait_for_event(queue, &ev);
        if (g_stop_signal) {
            app->running = 0;
            break;
        }
        // Keys typed into a console go to it, Escape included.
        if (kvn_gui_term_key_event(&ev)) continue;
        // Events of a dialog's native window belong to that dialog.
        const int target = kvn_gui_layout_window_of_event(&ev);
        const bool on_main = target < 0;
        if (q_gui_is_display_event(&ev)) must_draw = true;
        if (ev.type == ALLEGRO_EVENT_DISPLAY_CLOSE && ev.display.source == app->display) {
            _ask_quit(app);
            redraw_pending = true;
            continue;
        }
        if (ev.type == ALLEGRO_EVENT_DISPLAY_RESIZE && ev.display.source == app->display) {
            al_acknowledge_resize(app->display);
            q_gui_set_display_size(app->gui, (float)al_get_display_width(app->display),
                                   (float)al_get_display_height(app->display));
            kvn_gui_main_relayout();
            redraw_pending = true;
        }
        // Escape with a list open only closes the list, in the toolkit.
        const bool escape = ev.type == ALLEGRO_EVENT_KEY_DOWN && ev.keyboard.keycode == ALLEGRO_KEY_ESCAPE &&
                            !q_gui_list_takes_key(app->gui, ALLEGRO_KEY_ESCAPE);
        if (escape && !on_main) {
            // A dialog's own close (wiping its secrets) when it is one of them.
            if (kvn_gui_form_is_form(target))
                kvn_gui_form_escape(target);
            else if (!kvn_gui_dialogs_close_window(target))
                q_gui_close_window(app->gui, target);
        }
        if (escape && on_main && !kvn_gui_resource_close_menus()) {
            // An open context menu closes first, then the topmost dialog;
            // with nothing to close Escape asks to quit. The key still goes
            // on to the toolkit.
            const int top = q_gui_get_topmost_open_window(app->gui);
            if (kvn_gui_form_is_form(top))
                kvn_gui_form_escape(top);
            else if (!kvn_gui_dialogs_close_window(top) && !kvn_gui_wizard_escape(top) &&
                     !kvn_gui_sgrules_escape(top))
                _ask_quit(app);
        }
        if (ev.type == ALLEGRO_EVENT_DISPLAY_SWITCH_IN && ev.display.source == app->display)
            kvn_gui_resource_close_menus();
        if (ev.type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN && on_main) {
            // A press outside an open context menu closes it and still acts
            // where it landed.
            float vx, vy;
            q_gui_screen_to_virtual(app->gui, (float)ev.mouse.x, (float)ev.mouse.y, &vx, &vy);
            kvn_gui_resource_mouse_down(vx, vy);
        }
        if (on_main &&
            (ev.type == ALLEGRO_EVENT_MOUSE_AXES || ev.type == ALLEGRO_EVENT_MOUSE_BUTTON_DOWN ||
             ev.type == ALLEGRO_EVENT_MOUSE_BUTTON_UP) &&
            kvn_gui_main_sidebar_event(&ev))
            continue;
        {
            ALLEGRO_EVENT copy = ev;
            q_gui_process_event(app->gui, &copy);
        }

        const bool tick = ev.type == ALLEGRO_EVENT_TIMER;
        if (tick || redraw_pending) {
            if (!al_is_event_queue_empty(queue)) {
                redraw_pending = true;
                continue;
            }
            const int delivered = kvn_jobs_deliver();
            kvn_gui_main_tick();
            kvn_gui_layout_tick();
            const bool changed = kvn_gui_main_take_dirty() != 0;
            if (must_draw || delivered > 0 || changed || q_gui_needs_redraw(app->gui)) {
                _draw_frame(app);
                must_draw = false;
                if (!overview_told) overview_told = _tell_overview_drawn(app);
            }
        }
        redraw_pending = false;
    }
}
// Leaves start-up after the workers are running: they are stopped and joined
// so nothing runs while the process exits.
int _fail_startup(KVN_APP *app) {
    kvn_jobs_shutdown();
    kvn_api_free(&app->api);
    kvn_app_publish(nullptr);
    return 1;
}
} // namespace

int main(int argc, char **argv) {
    // Logging at NOTICE until the settings are known.
    set_log_level(Q_LOG_NOTICE);

    // Command line; -h leaves before anything is created.
    KVN_ARGS args;
    _parse_args(argc, argv, &args);
    if (args.help) {
        fprintf(stderr, k_usage, KVN_VERSION, argv[0] ? argv[0] : "kelvane");
        return 0;
    }
    signal(SIGTERM, _on_stop_signal);
    signal(SIGINT, _on_stop_signal);
    signal(SIGPIPE, SIG_IGN);

    // Folders: config, data, profiles and history.
    if (kvn_paths_init() != 0) q_log(Q_LOG_ERR, "some user directories could not be created");

    // The application record and its settings.
    KVN_APP app;
    memset(&app, 0, sizeof app);
    kvn_app_publish(&app);
    kvn_config_load(&app.config);

    // Log level: -v wins over the setting.
    set_log_level(args.verbosity_given ? args.log_level : app.config.log_level);
    q_log(Q_LOG_DEBUG, "log level %d (%s)", get_log_level(), args.verbosity_given ? "-v" : "settings");

    // Start-up banner, the first line at the chosen level.
    q_log(Q_LOG_NOTICE, "Kelvane %s (%s) starting", KVN_VERSION, KVN_BUILD_TAG);

    // The HTTP layer and its default CA bundle.
    q_httpc_global_init();
    char agent[64];
    q_format(agent, sizeof agent, "Kelvane/%s", KVN_VERSION);
    q_httpc_set_user_agent(agent);
    char ca_path[KVN_PATH_MAX];
    kvn_paths_app_file(ca_path, sizeof ca_path, "ca-bundle.pem");
    if (FILE *ca = fopen(ca_path, "rb")) {
        fclose(ca);
        q_httpc_set_ca_file(ca_path);
    } else {
        q_log(Q_LOG_ERR, "no ca-bundle.pem next to the executable: TLS verification will fail unless the "
                         "profile names a CA file");
    }

    // Four job workers; without them no request could ever run.
    if (kvn_jobs_init(4) != 0) {
        q_log(Q_LOG_ERR, "cannot start the job workers");
        return 1;
    }
    // With --env the token is asked for now: Allegro, the display and the
    // fonts take about as long as Keystone, and the dialog adopts the answer.
    if (args.use_env) kvn_gui_connect_start_env();

    // Allegro and its add-ons.
    if (!al_init() || !al_init_font_addon() || !al_init_ttf_addon() || !al_init_primitives_addon() ||
        !al_init_image_addon() || !al_install_keyboard() || !al_install_mouse()) {
        q_log(Q_LOG_ERR, "cannot initialize Allegro");
        return _fail_startup(&app);
    }

    // Numbers are written and read with a point whatever the locale.
    setlocale(LC_NUMERIC, "C");

    // Descriptor catalogue; kept even when some files had errors.
    char api_dir[KVN_PATH_MAX];
    kvn_paths_app_file(api_dir, sizeof api_dir, "resources/api");
    // Read on a thread of its own while Allegro brings the display and the
    // fonts up: both take a noticeable part of the start-up, and neither
    // needs the other until the window is built. After the locale is set:
    // the parser reads numbers with the process's locale.
    KVN_API *loaded_api = nullptr;
    std::thread api_loader([&loaded_api, &api_dir] {
        loaded_api = kvn_api_load_dir(api_dir);
        if (loaded_api) kvn_api_check_refs(loaded_api);
    });
    auto take_api = [&] {
        if (api_loader.joinable()) api_loader.join();
        app.api = loaded_api;
    };
    auto fail_startup = [&] {
        take_api();
        return _fail_startup(&app);
    };

    // Display: where the user left it, fitted to the screen it comes up on.
    kvn_gui_layout_load();
    int win_x, win_y, width, height, maximized;
    kvn_gui_layout_main_geometry(&win_x, &win_y, &width, &height, &maximized);
    _fit_to_monitor(&win_x, &win_y, &width, &height);
    if (win_x != INT_MAX && win_y != INT_MAX) al_set_new_window_position(win_x, win_y);
    al_set_new_display_flags(ALLEGRO_WINDOWED | ALLEGRO_OPENGL | ALLEGRO_RESIZABLE |
                             (maximized ? ALLEGRO_MAXIMIZED : 0));
    app.display = al_create_display(width, height);
    if (!app.display) {
        q_log(Q_LOG_ERR, "cannot create the display");
        return fail_startup();
    }

    // Window title: version and build tag.
    char title[128];
    q_format(title, sizeof title, "Kelvane %s%s%s", KVN_VERSION, " - ", KVN_BUILD_TAG);
    al_set_window_title(app.display, title);

    // Window icon; without the file the platform's default stays.
    char icon_path[KVN_PATH_MAX];
    kvn_paths_app_file(icon_path, sizeof icon_path, "assets/kvn-icon.png");
    ALLEGRO_BITMAP *icon = al_load_bitmap(icon_path);
    if (icon) al_set_display_icon(app.display, icon);

    // Fonts, with a fallback font for the scripts Inter lacks.
    _load_fonts(&app);

    // The GUI context; the application theme joins with its module, until
    // then the toolkit's default theme stays.
    app.gui = q_gui_new_ctx(app.ui_font);
    if (!app.gui) {
        q_log(Q_LOG_ERR, "cannot create the GUI context");
        return fail_startup();
    }
    q_gui_set_display(app.gui, app.display);
    q_gui_set_display_size(app.gui, (float)al_get_display_width(app.display),
                           (float)al_get_display_height(app.display));
    q_gui_detect_dpi_scale(app.gui, app.display);
    q_gui_set_resize_mode(app.gui, 1);
    kvn_theme_apply(app.gui, app.config.theme);
    take_api();

    // Event queue and the 1/30 s timer.
    ALLEGRO_EVENT_QUEUE *queue = al_create_event_queue();
    ALLEGRO_TIMER *timer = al_create_timer(1.0 / 30.0);
    if (!queue || !timer) {
        q_log(Q_LOG_ERR, "cannot initialize Allegro");
        return fail_startup();
    }
    al_register_event_source(queue, al_get_display_event_source(app.display));
    al_register_event_source(queue, al_get_timer_event_source(timer));
    al_register_event_source(queue, al_get_keyboard_event_source());
    al_register_event_source(queue, al_get_mouse_event_source());
    q_gui_set_event_queue(app.gui, queue);
    al_start_timer(timer);

    // The application windows: the main window registers itself as the
    // connection-changed hook. The custom operation handlers join here.
    kvn_gui_main_build();
    kvn_gui_tools_register();
    kvn_cmdtools_register();
    kvn_gui_term_register();
    kvn_gui_sgrules_register();
    kvn_gui_wizard_register();

    // Welcome status. A folder that is not there at all holds no broken descriptor: the
    // user is simply asked to connect.
    if (app.api && app.api->error_text[0] && !app.api->folder_missing)
        kvn_app_status(KVN_STATUS_INFO, "Welcome. %s", "Some API descriptors have errors (see About).");
    else
        kvn_app_status(KVN_STATUS_INFO, "Welcome. %s", "Connect to a cloud to start.");

    // The connect dialog; with --env it connects at once from the OS_*
    // environment.
    if (args.use_env)
        kvn_gui_connect_from_env();
    else if (!app.session)
        kvn_gui_connect_open();

    if (args.open_view && kvn_gui_main_open_view(args.open_view) != 0)
        kvn_app_status(KVN_STATUS_ERROR, "unknown view '%s'", args.open_view);

    // The event loop, until the user quits.
    app.running = 1;
    _event_loop(&app, queue);

    // Shutdown.
    kvn_config_save(&app.config);
    kvn_gui_layout_save();
    kvn_gui_layout_attach_all();
    kvn_gui_term_shutdown();
    kvn_cmdtools_shutdown();
    kvn_gui_sgrules_shutdown();
    kvn_gui_wizard_shutdown();
    kvn_gui_dialogs_shutdown();
    kvn_app_disconnect();
    kvn_gui_main_destroy();
    kvn_jobs_shutdown();
    kvn_gui_form_destroy_all();
    q_httpc_pool_flush();
    q_gui_destroy_ctx(&app.gui);
    al_destroy_timer(timer);
    al_destroy_event_queue(queue);
    if (app.mono_font) al_destroy_font(app.mono_font);
    if (app.ui_font) al_destroy_font(app.ui_font);
    if (app.fallback_font) al_destroy_font(app.fallback_font);
    if (icon) al_destroy_bitmap(icon);
    al_destroy_display(app.display);
    kvn_api_free(&app.api);
    q_log(Q_LOG_NOTICE, "Kelvane stopped");
    kvn_app_publish(nullptr);
    return 0;
}
