// A stand-in for GNOME Shell on a test's own bus: the project's extension listing one window, and Mutter's
// ScreenCast casting it to the PipeWire node named on the command line. The test kills it as a shell that crashes;
// it owns its names once both are on the bus.
// gjs fake-shell.js NODE WIDTH HEIGHT
const {Gio, GLib} = imports.gi;

const [node, width, height] = ARGV.map(Number);
const kWindow = 7;

const interfaces = `<node>
  <interface name="org.kestrova.Bridge.Windows">
    <method name="ListOutputWindows"><arg type="a(tsi(iiii)(iiii)bu)" direction="out"/></method>
  </interface>
  <interface name="org.gnome.Mutter.ScreenCast">
    <method name="CreateSession"><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
  </interface>
  <interface name="org.gnome.Mutter.ScreenCast.Session">
    <method name="RecordWindow"><arg type="a{sv}" direction="in"/><arg type="o" direction="out"/></method>
    <method name="Start"/>
    <method name="Stop"/>
    <signal name="Closed"/>
  </interface>
</node>`;
const info = Gio.DBusNodeInfo.new_for_xml(interfaces);
const rect = new GLib.Variant('(iiii)', [0, 0, width, height]);

function serve(connection, path, iface, methods) {
    const call = (c, sender, p, i, method, parameters, invocation) =>
        invocation.return_value(methods[method](parameters));
    connection.register_object(path, info.lookup_interface(iface), call, null, null);
}

function start(connection) {
    serve(connection, '/org/kestrova/Bridge', 'org.kestrova.Bridge.Windows', {
        ListOutputWindows: () => new GLib.Variant('(a(tsi(iiii)(iiii)bu))',
            [[[kWindow, 'Kestrova Output | Falsa', 1, rect.deepUnpack(), rect.deepUnpack(), true, 0]]]),
    });
    serve(connection, '/org/gnome/Mutter/ScreenCast', 'org.gnome.Mutter.ScreenCast', {
        CreateSession: () => new GLib.Variant('(o)', ['/org/gnome/Mutter/ScreenCast/Session/u1']),
    });
    serve(connection, '/org/gnome/Mutter/ScreenCast/Session/u1', 'org.gnome.Mutter.ScreenCast.Session', {
        RecordWindow: () => new GLib.Variant('(o)', ['/org/gnome/Mutter/ScreenCast/Stream/u1']),
        Start: () => {
            GLib.idle_add(GLib.PRIORITY_DEFAULT, () => {
                connection.emit_signal(null, '/org/gnome/Mutter/ScreenCast/Stream/u1',
                    'org.gnome.Mutter.ScreenCast.Stream', 'PipeWireStreamAdded', new GLib.Variant('(u)', [node]));
                return GLib.SOURCE_REMOVE;
            });
            return null;
        },
        Stop: () => null,
    });
}

const connection = Gio.bus_get_sync(Gio.BusType.SESSION, null);
start(connection);
const loop = new GLib.MainLoop(null, false);
for (const name of ['org.kestrova.Bridge', 'org.gnome.Mutter.ScreenCast'])
    Gio.bus_own_name_on_connection(connection, name, Gio.BusNameOwnerFlags.NONE, null, () => loop.quit());
loop.run();
