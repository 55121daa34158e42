// Tells Kestrova Bridge, on the session bus, which windows carry the companion's output: Mutter offers programs no
// window list of their own. Only windows whose title begins with the prefix are told; other windows' titles stay in
// the shell. It answers when asked and does nothing otherwise. Shared by both extension formats, which supply Gio
// and Meta.

const BUS_NAME = 'org.kestrova.Bridge';
const OBJECT_PATH = '/org/kestrova/Bridge';
const PREFIX = 'Kestrova Output |';

// Each window: Meta's id, title, pid (0 when unknown), frame and buffer rectangles (x, y, width, height in logical
// pixels), whether it is a normal window shown in the task bar and switcher, and its place in the stacking order
// (0 at the bottom).
const INTERFACE = `
<node>
  <interface name="org.kestrova.Bridge.Windows">
    <method name="ListOutputWindows">
      <arg name="windows" type="a(tsi(iiii)(iiii)bu)" direction="out"/>
    </method>
  </interface>
</node>`;

function rectangle(rect) {
    return [rect.x, rect.y, rect.width, rect.height];
}

function describe(window, position) {
    const normal = window.get_window_type() === Meta.WindowType.NORMAL && !window.is_skip_taskbar();
    return [window.get_id(), window.get_title(), Math.max(window.get_pid(), 0),
        rectangle(window.get_frame_rect()), rectangle(window.get_buffer_rect()), normal, position];
}

class WindowsService {
    ListOutputWindows() {
        const stacked = global.display.sort_windows_by_stacking(global.display.list_all_windows());
        const described = [];
        stacked.forEach((window, position) => {
            const title = window.get_title();
            if (title && title.startsWith(PREFIX))
                described.push(describe(window, position));
        });
        return described;
    }
}

class BridgeExport {
    enable() {
        this._exported = Gio.DBusExportedObject.wrapJSObject(INTERFACE, new WindowsService());
        this._exported.export(Gio.DBus.session, OBJECT_PATH);
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, BUS_NAME, Gio.BusNameOwnerFlags.NONE,
            null, null);
    }

    disable() {
        Gio.bus_unown_name(this._nameId);
        this._exported.unexport();
        this._exported = null;
    }
}
