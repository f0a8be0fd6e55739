// Tells lumatap, over the session bus, the windows the shell has: their ids as ScreenCast's
// RecordWindow takes them, front to back. GNOME lets no ordinary program ask the shell for
// its windows; an extension is the shell's own code, so it may.
import Gio from 'gi://Gio';
import GLib from 'gi://GLib';
import Shell from 'gi://Shell';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';

const busName = 'io.github.lumatap.Windows';
const objectPath = '/io/github/lumatap/Windows';
const iface = `<node><interface name="${busName}">
  <method name="List"><arg type="aa{sv}" direction="out" name="windows"/></method>
</interface></node>`;

const rect = r => new GLib.Variant('(iiii)', [r.x, r.y, r.width, r.height]);

export default class LumatapWindows extends Extension {
    enable() {
        this._object = Gio.DBusExportedObject.wrapJSObject(iface, this);
        this._object.export(Gio.DBus.session, objectPath);
        this._name = Gio.bus_own_name_on_connection(Gio.DBus.session, busName,
            Gio.BusNameOwnerFlags.NONE, null, null);
    }

    disable() {
        Gio.bus_unown_name(this._name);
        this._object.unexport();
        this._object = null;
    }

    List() {
        const tracker = Shell.WindowTracker.get_default();
        const active = global.workspace_manager.get_active_workspace();
        const windows = global.display.list_all_windows();
        // Bottom to top as the shell stacks them; the list goes front to back.
        return global.display.sort_windows_by_stacking(windows).reverse().map(w => {
            const app = tracker.get_window_app(w);
            const workspace = w.get_workspace();
            return {
                id: new GLib.Variant('t', w.get_id()),
                title: new GLib.Variant('s', w.get_title() ?? ''),
                // A .desktop file's Name; window-backed apps have none, only the class.
                app: new GLib.Variant('s', app?.get_app_info() ? app.get_name() : ''),
                'app-id': new GLib.Variant('s', w.get_gtk_application_id() ??
                    w.get_sandboxed_app_id() ?? ''),
                class: new GLib.Variant('s', w.get_wm_class() ?? ''),
                pid: new GLib.Variant('i', w.get_pid()),
                frame: rect(w.get_frame_rect()),
                buffer: rect(w.get_buffer_rect()),
                minimized: new GLib.Variant('b', w.minimized),
                workspace: new GLib.Variant('i', workspace ? workspace.index() : -1),
                'on-active-workspace': new GLib.Variant('b', w.located_on_workspace(active)),
                type: new GLib.Variant('u', w.get_window_type()),
                monitor: new GLib.Variant('i', w.get_monitor()),
                'skip-taskbar': new GLib.Variant('b', w.skip_taskbar),
            };
        });
    }
}
