// For the GNOME lab only: lets a test do what a user does with the screen-sharing indicator's Stop button, which
// no D-Bus client may do (Mutter lets only a session's owner stop it). Like the indicator, it follows the remote
// access handles Mutter announces and stops them.
'use strict';

const {Gio} = imports.gi;

const INTERFACE = `
<node>
  <interface name="org.kestrova.BridgeTest.Indicator">
    <method name="StopEveryCast">
      <arg name="stopped" type="u" direction="out"/>
    </method>
  </interface>
</node>`;

class Extension {
    enable() {
        this._handles = new Set();
        const controller = global.backend.get_remote_access_controller();
        this._newHandle = controller.connect('new-handle', (_controller, handle) => {
            this._handles.add(handle);
            handle.connect('stopped', () => this._handles.delete(handle));
        });
        this._exported = Gio.DBusExportedObject.wrapJSObject(INTERFACE, this);
        this._exported.export(Gio.DBus.session, '/org/kestrova/BridgeTest');
        this._nameId = Gio.bus_own_name_on_connection(Gio.DBus.session, 'org.kestrova.BridgeTest',
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        Gio.bus_unown_name(this._nameId);
        this._exported.unexport();
        global.backend.get_remote_access_controller().disconnect(this._newHandle);
        this._handles.clear();
    }

    StopEveryCast() {
        const handles = [...this._handles];
        handles.forEach(handle => handle.stop());
        return handles.length;
    }
}

/** Called once by the shell when it loads the extension. */
function init() {
    return new Extension();
}
