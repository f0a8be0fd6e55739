// Tests only. The shell starts in the overview, where windows are shown as thumbnails and none
// is on screen as itself; the tests want the desktop a user works on. And a Wayland client
// cannot move its own window, so the tests ask the shell to, by the window's title.
import Gio from 'gi://Gio';
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';

const iface = `<node><interface name="io.github.lumatap.TestHelper">
  <method name="Move"><arg type="s" name="title"/><arg type="i" name="x"/><arg type="i" name="y"/>
    <arg type="b" direction="out" name="moved"/></method>
</interface></node>`;

export default class TestHelper extends Extension {
    enable() {
        Main.sessionMode.hasOverview = false;
        this._startup = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        Main.overview.hide();
        this._object = Gio.DBusExportedObject.wrapJSObject(iface, this);
        this._object.export(Gio.DBus.session, '/io/github/lumatap/TestHelper');
    }

    disable() {
        Main.layoutManager.disconnect(this._startup);
        this._object.unexport();
    }

    Move(title, x, y) {
        const window = global.display.list_all_windows().find(w => w.get_title() === title);
        window?.move_frame(true, x, y);
        return window !== undefined;
    }
}
