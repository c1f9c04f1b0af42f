// The connect dialog. Until it is built, opening it only says so.
#include "kvn_app.h"
#include "kvn_gui_dialogs.h"

void kvn_gui_connect_open(void) {
    kvn_app_status(KVN_STATUS_WARNING, "the connect dialog is not available in this build");
}

void kvn_gui_connect_from_env(void) {
    kvn_gui_connect_open();
}
