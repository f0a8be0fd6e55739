// The shell starts in the overview, where windows are shown as thumbnails and none is on
// screen as itself; the tests want the desktop a user works on.
import {Extension} from 'resource:///org/gnome/shell/extensions/extension.js';
import * as Main from 'resource:///org/gnome/shell/ui/main.js';

export default class OverviewOff extends Extension {
    enable() {
        Main.sessionMode.hasOverview = false;
        this._startup = Main.layoutManager.connect('startup-complete', () => Main.overview.hide());
        Main.overview.hide();
    }

    disable() {
        Main.layoutManager.disconnect(this._startup);
    }
}
