// A GTK 4 window as GNOME users have them: client-side decorations with their shadow, here without a header bar
// or rounded corners so that every pixel of the window is the one colour given. It draws itself on every frame:
// Mutter casts a window only when it draws. For the GNOME tests.
//   gjs gtk4-window.js TITLE COLOUR
imports.gi.versions.Gtk = '4.0';
const {Gdk, GLib, Gtk} = imports.gi;

const [title, colour] = ARGV;
Gtk.init();
const css = new Gtk.CssProvider();
css.load_from_data(`window, window decoration { border-radius: 0; } window { background: ${colour}; }`);
Gtk.StyleContext.add_provider_for_display(Gdk.Display.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_APPLICATION);

const fill = new Gdk.RGBA();
fill.parse(colour);
const area = new Gtk.DrawingArea();
area.set_draw_func((_area, cr) => {
    Gdk.cairo_set_source_rgba(cr, fill);
    cr.paint();
    cr.$dispose();
});
area.add_tick_callback(() => {
    area.queue_draw();
    return GLib.SOURCE_CONTINUE;
});

const window = new Gtk.Window({title, default_width: 320, default_height: 240, child: area});
window.set_titlebar(new Gtk.Box());
const loop = new GLib.MainLoop(null, false);
window.connect('close-request', () => loop.quit());
window.present();
loop.run();
