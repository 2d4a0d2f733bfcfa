// Setup dialog on GTK 3 (Linux).
//
// Maps: a fixed-size top-level window "tovelmark velk" with a client area of
// R(340) x R(220), the six controls at their R-scaled places (title label in the
// stencil font loaded privately from the font bytes, "Resolution" label, combo
// box, "Windowed" check box, Start and Quit drawn as the demo's own buttons), the
// colours, Tab focus order, Enter = Start, Escape = Quit, closing = Quit.
// The system scale is the toolkit's text resolution / 96 (Xft.dpi, GDK_DPI_SCALE);
// a whole-number window scale (GDK_SCALE) multiplies everything on top of it, as
// the toolkit draws in logical pixels. If GTK cannot start (no display), Show raises
// InvalidOperationException: that is no choice of the user's.
#include <fontconfig/fontconfig.h>
#include <gtk/gtk.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "host/errors.h"
#include "window/setup_dialog.h"

namespace velk {
namespace {

struct DialogState {
    GtkWidget* window = nullptr;
    GtkWidget* combo = nullptr;
    GtkWidget* check = nullptr;
    std::vector<ModeSize> modes;
    int32_t screenWidth = 0, screenHeight = 0;
    std::optional<VideoMode> result;
    bool done = false;
};

DialogState* Current = nullptr;

void Finish() {
    if (!Current || Current->done) return;
    Current->done = true;
    gtk_widget_destroy(Current->window);
    gtk_main_quit();
}

void Start() {
    if (!Current || Current->done) return;
    int i = gtk_combo_box_get_active(GTK_COMBO_BOX(Current->combo));
    bool windowed = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(Current->check));
    Current->result = SetupDialog::StartResult(Current->modes, i, windowed, Current->screenWidth, Current->screenHeight);
    Finish();
}

gboolean OnKey(GtkWidget*, GdkEventKey* e, gpointer) {
    if (e->keyval == GDK_KEY_Return || e->keyval == GDK_KEY_KP_Enter || e->keyval == GDK_KEY_ISO_Enter) {
        Start();
        return TRUE;
    }
    if (e->keyval == GDK_KEY_Escape) {
        Finish();
        return TRUE;
    }
    if (e->keyval == GDK_KEY_F4 && (e->state & GDK_MOD1_MASK)) {
        Finish();
        return TRUE;
    }
    return FALSE;
}

gboolean OnDelete(GtkWidget*, GdkEvent*, gpointer) {
    Finish();
    return TRUE;
}

// Loads the stencil font for this process only: an anonymous memory file handed to
// fontconfig (nothing is written to disk). True when the family is then known.
bool AddPrivateFont(const std::vector<uint8_t>& bytes) {
    if (bytes.empty()) return false;
    int fd = memfd_create("VelkStencil.ttf", 0);
    if (fd < 0) return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    // The descriptor stays open for the rest of the run: fontconfig reads the path lazily.
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    if (!FcConfigAppFontAddFile(FcConfigGetCurrent(), reinterpret_cast<const FcChar8*>(path.c_str()))) return false;
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>("Velk Stencil"));
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult r;
    FcPattern* match = FcFontMatch(nullptr, pattern, &r);
    bool found = false;
    FcChar8* family = nullptr;
    if (match && FcPatternGetString(match, FC_FAMILY, 0, &family) == FcResultMatch)
        found = std::string(reinterpret_cast<char*>(family)) == "Velk Stencil";
    if (match) FcPatternDestroy(match);
    FcPatternDestroy(pattern);
    return found;
}

// Sizes in CSS are the toolkit's logical pixels, `device` screen pixels each. The
// buttons' frame is one screen pixel wide, and so is the focus rectangle, with 3
// screen pixels between it and the button's edge: the outline is drawn inside a
// box grown by its width plus its offset, so the offset is -(3 + 1) screen pixels.
std::string Css(int uiFont, int titleFont, int device) {
    char css[2048];
    std::snprintf(css, sizeof css,
                  "window.velk-setup { background-color: #754C29; }\n"
                  "window.velk-setup * { font-family: 'Segoe UI', sans-serif; font-size: %dpx; }\n"
                  "label.velk-text, checkbutton.velk-text label { color: #F0EEED; }\n"
                  "label.velk-title { font-family: 'Velk Stencil'; font-size: %dpx; color: #F0EEED; }\n"
                  "button.velk-button { background-image: none; background-color: #25180D; color: #F0EEED;"
                  " border: %gpx solid #F0EEED; border-radius: 0; box-shadow: none; text-shadow: none;"
                  " padding: 0; outline-color: #F0EEED; outline-style: dotted; outline-width: %gpx;"
                  " outline-offset: %gpx; }\n"
                  "button.velk-button:active { background-color: #754C29; }\n"
                  "button.velk-button label { color: #F0EEED; }\n",
                  uiFont, titleFont, 1.0 / device, 1.0 / device, -4.0 / device);
    return css;
}

GtkWidget* AddControl(GtkWidget* fixed, GtkWidget* child, float s, float x, float y, float w, float h) {
    gtk_widget_set_size_request(child, SetupDialog::R(s, w), SetupDialog::R(s, h));
    gtk_fixed_put(GTK_FIXED(fixed), child, SetupDialog::R(s, x), SetupDialog::R(s, y));
    return child;
}

void Drain() {
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

}  // namespace

std::optional<VideoMode> SetupDialog::Show(const std::vector<uint8_t>& fontBytes) {
    gtk_disable_setlocale();  // numbers stay locale-free
    if (!gtk_init_check(nullptr, nullptr))
        throw InvalidOperationException("The setup dialog cannot be shown: " + platform::NoDisplayReason());

    AddPrivateFont(fontBytes);

    GdkScreen* screen = gdk_screen_get_default();
    double dpi = gdk_screen_get_resolution(screen);
    if (dpi <= 0) dpi = 96;
    float s = static_cast<float>(dpi) / 96.0f;

    GdkMonitor* monitor = gdk_display_get_primary_monitor(gdk_display_get_default());
    if (!monitor) monitor = gdk_display_get_monitor(gdk_display_get_default(), 0);
    GdkRectangle geometry{0, 0, 1280, 720};
    int scale = 1;
    if (monitor) {
        gdk_monitor_get_geometry(monitor, &geometry);
        scale = gdk_monitor_get_scale_factor(monitor);
    }
    // The monitor's geometry is in the toolkit's logical pixels; the mode list
    // wants the screen's own pixels, window placement logical ones.
    int32_t screenWidth = geometry.width * scale, screenHeight = geometry.height * scale;

    DialogState state;
    state.screenWidth = screenWidth;
    state.screenHeight = screenHeight;

    GtkCssProvider* css = gtk_css_provider_new();
    gtk_css_provider_load_from_data(css, Css(R(s, 14), R(s, 27), scale).c_str(), -1, nullptr);
    gtk_style_context_add_provider_for_screen(screen, GTK_STYLE_PROVIDER(css),
                                              GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);

    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    state.window = window;
    gtk_window_set_title(GTK_WINDOW(window), "tovelmark velk");
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_window_set_type_hint(GTK_WINDOW(window), GDK_WINDOW_TYPE_HINT_DIALOG);
    gtk_style_context_add_class(gtk_widget_get_style_context(window), "velk-setup");
    int clientW = R(s, 340), clientH = R(s, 220);
    gtk_window_set_default_size(GTK_WINDOW(window), clientW, clientH);
    gtk_widget_set_size_request(window, clientW, clientH);
    // Centred in screen pixels, (screen - outer size) / 2 truncated, then placed in
    // logical pixels.
    gtk_window_move(GTK_WINDOW(window), geometry.x + (screenWidth - clientW * scale) / 2 / scale,
                    geometry.y + (screenHeight - clientH * scale) / 2 / scale);

    GtkWidget* fixed = gtk_fixed_new();
    gtk_container_add(GTK_CONTAINER(window), fixed);

    GtkWidget* title = gtk_label_new("TOVELMARK VELK");
    gtk_style_context_add_class(gtk_widget_get_style_context(title), "velk-title");
    gtk_label_set_xalign(GTK_LABEL(title), 0);
    gtk_label_set_yalign(GTK_LABEL(title), 0);
    AddControl(fixed, title, s, 24, 18, 292, 42);

    GtkWidget* resolution = gtk_label_new("Resolution");
    gtk_style_context_add_class(gtk_widget_get_style_context(resolution), "velk-text");
    gtk_label_set_xalign(GTK_LABEL(resolution), 0);
    gtk_label_set_yalign(GTK_LABEL(resolution), 0);
    AddControl(fixed, resolution, s, 24, 70, 292, 20);

    // The combo box: its list height belongs to the drop-down; the closed box is one line.
    GtkWidget* combo = gtk_combo_box_text_new();
    state.combo = combo;
    AddControl(fixed, combo, s, 24, 92, 292, 26);

    GtkWidget* check = gtk_check_button_new_with_label("Windowed");
    state.check = check;
    gtk_style_context_add_class(gtk_widget_get_style_context(check), "velk-text");
    AddControl(fixed, check, s, 24, 128, 200, 22);

    GtkWidget* startButton = gtk_button_new_with_label("Start");
    gtk_style_context_add_class(gtk_widget_get_style_context(startButton), "velk-button");
    AddControl(fixed, startButton, s, 130, 172, 90, 30);
    GtkWidget* quitButton = gtk_button_new_with_label("Quit");
    gtk_style_context_add_class(gtk_widget_get_style_context(quitButton), "velk-button");
    AddControl(fixed, quitButton, s, 226, 172, 90, 30);
    gtk_widget_set_can_focus(title, FALSE);
    gtk_widget_set_can_focus(resolution, FALSE);

    state.modes = ListVideoModes(screenWidth, screenHeight);
    for (const ModeSize& m : state.modes)
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(combo), EntryText(m.first, m.second).c_str());
    if (!state.modes.empty())
        gtk_combo_box_set_active(GTK_COMBO_BOX(combo), DefaultSelection(state.modes, screenWidth, screenHeight));

    g_signal_connect(window, "key-press-event", G_CALLBACK(OnKey), nullptr);
    g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), nullptr);
    g_signal_connect(startButton, "clicked", G_CALLBACK(+[](GtkButton*, gpointer) { Start(); }), nullptr);
    g_signal_connect(quitButton, "clicked", G_CALLBACK(+[](GtkButton*, gpointer) { Finish(); }), nullptr);

    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));
    gtk_widget_grab_focus(combo);

    Current = &state;
    gtk_main();
    Current = nullptr;

    // Gone from the screen before the demo window opens.
    Drain();
    gtk_style_context_remove_provider_for_screen(screen, GTK_STYLE_PROVIDER(css));
    g_object_unref(css);
    Drain();
    return state.result;
}

}  // namespace velk
