#!/usr/bin/python3
"""The settings window end to end, on a display and a session bus of its own, driven through the
accessibility tree as a screen reader would: switching the helper on, learning a button from a
press, Escape, a change made meanwhile by corvassel-prefs, and a file the helper ignores. It also
draws the window into the screenshot that doc/ shows."""

import argparse
import os
import plistlib
import random
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

PREFS = "Library/Preferences/Quendrith.tavrel.prefpane.plist"
WAITING = "(Escape cancels)"
SWITCH = "Remap Mouse Buttons"


def wait_for(what, condition, timeout=15):
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError("timed out waiting for " + what)
        time.sleep(0.02)


def read_line_from(fd):
    text = b""
    while not text.endswith(b"\n"):
        chunk = os.read(fd, 256)
        if not chunk:
            break
        text += chunk
    os.close(fd)
    return text.decode().strip()


class Session:
    """Xvfb, a private session bus and a watch on the change notifications."""

    def __init__(self, scratch):
        self.processes = []
        self.display = None
        # A display number of its own, away from the usual ones: an X server that another test
        # starts at the same moment may take the first free number too.
        for number in random.sample(range(200, 1000), 20):
            read, write = os.pipe()
            server = self.start(["Xvfb", ":%d" % number, "-displayfd", str(write), "-screen",
                                 "0", "1024x900x24", "-nolisten", "tcp"], pass_fds=(write,),
                                stderr=subprocess.DEVNULL)
            os.close(write)
            if read_line_from(read) == str(number):
                self.display = ":%d" % number
                break
            server.wait()
            self.processes.remove(server)
        assert self.display, "no X server could be started"
        read, write = os.pipe()
        # What the bus starts (the accessibility bus and registry) works on this display.
        self.start(["dbus-daemon", "--session", "--nofork", "--print-address=%d" % write],
                   pass_fds=(write,), env=dict(os.environ, DISPLAY=self.display))
        os.close(write)
        self.bus = read_line_from(read)
        runtime = os.path.join(scratch, "runtime")
        os.mkdir(runtime, 0o700)
        self.env = dict(os.environ, DISPLAY=self.display, DBUS_SESSION_BUS_ADDRESS=self.bus,
                        XDG_RUNTIME_DIR=runtime, GSK_RENDERER="cairo", GTK_A11Y="atspi",
                        GSETTINGS_BACKEND="memory", LANG="C.UTF-8", NO_AT_BRIDGE="0")
        self.env.pop("WAYLAND_DISPLAY", None)
        self.env.pop("AT_SPI_BUS_ADDRESS", None)
        monitor = self.start(["dbus-monitor", "--address", self.bus,
                              "type='signal',interface='org.corvassel.DistributedNotifications'"],
                             stdout=subprocess.PIPE, text=True)
        self.notices = []
        threading.Thread(target=lambda: self.notices.extend(monitor.stdout), daemon=True).start()
        wait_for("dbus-monitor to listen", lambda: self.notices)

    def start(self, args, **options):
        process = subprocess.Popen(args, start_new_session=True, **options)
        self.processes.append(process)
        return process

    def notified(self):
        return sum("Quendrith.tavrel.prefsChanged" in line for line in self.notices)

    def close(self):
        for process in reversed(self.processes):
            try:
                os.killpg(process.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            process.wait(timeout=10)


class Window:
    """The window's accessible objects, found by their accessible names."""

    def __init__(self, pyatspi):
        self.pyatspi = pyatspi
        self.app = wait_for("the window in the accessibility tree", self.find_app)

    def find_app(self):
        desktop = self.pyatspi.Registry.getDesktop(0)
        for app in desktop:
            if app is not None and self.pyatspi.findDescendant(
                    app, lambda node: node is not None and node.name == SWITCH):
                return app
        return None

    def named(self, name):
        """The control of that name: a button, switch or the like, never a label or a row."""
        controls = (self.pyatspi.ROLE_PUSH_BUTTON, self.pyatspi.ROLE_CHECK_BOX,
                    self.pyatspi.ROLE_TOGGLE_BUTTON)
        return wait_for("a control named " + repr(name), lambda: self.pyatspi.findDescendant(
            self.app, lambda node: node is not None and node.name == name and
            node.getRole() in controls))

    def texts(self):
        found = self.pyatspi.findAllDescendants(
            self.app, lambda node: node is not None and node.getRole() == self.pyatspi.ROLE_LABEL)
        return [node.name for node in found]

    def shows(self, text):
        return wait_for("the window to show " + repr(text),
                        lambda: any(text in shown for shown in self.texts()))

    def shows_no(self, text):
        return wait_for("the window to stop showing " + repr(text),
                        lambda: not any(text in shown for shown in self.texts()))

    def act(self, name):
        control = self.named(name)
        action = control.queryAction()
        assert action.nActions > 0, name + " has no action"
        action.doAction(0)

    def unnamed_controls(self):
        controls = (self.pyatspi.ROLE_PUSH_BUTTON, self.pyatspi.ROLE_CHECK_BOX,
                    self.pyatspi.ROLE_TOGGLE_BUTTON, self.pyatspi.ROLE_IMAGE)
        return self.pyatspi.findAllDescendants(
            self.app, lambda node: node is not None and node.getRole() in controls and
            not node.name.strip())

    def state(self, name, state):
        return self.named(name).getState().contains(state)


def stored(home):
    with open(os.path.join(home, PREFS), "rb") as file:
        return plistlib.load(file)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--window", required=True)
    parser.add_argument("--prefs", required=True)
    parser.add_argument("--screenshot", required=True)
    args = parser.parse_args()
    for program in ("Xvfb", "dbus-daemon", "dbus-monitor"):
        if not shutil.which(program):
            print("skipped: this machine has no " + program)
            return 77

    scratch = tempfile.mkdtemp(prefix="corvassel-window-")
    session = None
    window_process = None
    try:
        home = os.path.join(scratch, "home")
        os.makedirs(os.path.dirname(os.path.join(home, PREFS)))
        with open(os.path.join(home, PREFS), "wb") as file:
            plistlib.dump({"Other": "kept"}, file)
        # A user manager with the unit installed and stopped; every call is written down.
        bin_dir = os.path.join(scratch, "bin")
        os.mkdir(bin_dir)
        calls = os.path.join(scratch, "systemctl-calls")
        with open(os.path.join(bin_dir, "systemctl"), "w") as file:
            file.write("#!/bin/sh\necho \"$*\" >>'%s'\ncase \"$*\" in\n*show*) printf "
                       "'LoadState=loaded\\nUnitFileState=enabled\\nActiveState=inactive\\n"
                       "SubState=dead\\n';;\nesac\n" % calls)
        os.chmod(os.path.join(bin_dir, "systemctl"), 0o755)

        session = Session(scratch)
        env = dict(session.env, HOME=home, PATH=bin_dir + ":/usr/bin:/bin")
        if "ASAN_OPTIONS" in env:
            # GTK, GLib and fontconfig keep what they load until the process ends, which the
            # leak checker would report on every run; the sanitizers' other checks stay.
            env["ASAN_OPTIONS"] += ":detect_leaks=0"
        os.environ.update(session.env)
        import pyatspi  # after the environment names the session bus it is to use
        # The accessibility bus and its registry up before the window looks for them.
        pyatspi.Registry.getDesktop(0).childCount

        presses_read, presses = os.pipe()
        window_log = open(os.path.join(scratch, "window.log"), "w+")
        window_process = subprocess.Popen([args.window, str(presses_read)], env=env,
                                          pass_fds=(presses_read,), stderr=window_log)
        os.close(presses_read)
        window = Window(pyatspi)

        def press(number):
            os.write(presses, b"press %d\n" % number)

        # What the doctor says first: the helper is off.
        window.shows("Enabled is false")
        assert not window.unnamed_controls(), "a control without an accessible name"
        assert not window.state(SWITCH, pyatspi.STATE_CHECKED)

        # On: stored, the helper told, and its unit started.
        before = session.notified()
        window.act(SWITCH)
        wait_for("Enabled true in the file", lambda: stored(home).get("Enabled") is True)
        assert stored(home)["Other"] == "kept", stored(home)
        wait_for("the change notification", lambda: session.notified() > before)
        wait_for("the user unit to be started", lambda: os.path.exists(calls) and
                 "--user start corvassel-helper.service" in open(calls).read())
        window.shows_no("Enabled is false")

        # Back from a press; the left button is refused and the wait goes on.
        window.act("Press a button for Back")
        window.shows("Press a mouse button… " + WAITING)
        press(0)
        window.shows("The left button cannot be mapped; press another. " + WAITING)
        press(6)
        wait_for("BackButton 6 in the file", lambda: stored(home).get("BackButton") == 6)
        window.shows("Button 6 · BTN_BACK")
        window.shows_no(WAITING)

        # Escape ends a wait and stores nothing.
        window.act("Press a button for Forward")
        window.shows(WAITING)
        pyatspi.Registry.generateKeyboardEvent(0xff1b, None, pyatspi.KEY_SYM)
        window.shows_no(WAITING)
        press(7)  # no longer waited for
        assert "ForwardButton" not in stored(home), stored(home)

        # A change made meanwhile by the tool shows up.
        subprocess.run([args.prefs, "set", "ForwardButton", "5"], env=env, check=True,
                       stdout=subprocess.DEVNULL)
        window.shows("Button 5 · BTN_FORWARD")

        shot = args.screenshot
        if os.path.exists(shot):
            os.unlink(shot)
        os.write(presses, ("screenshot %s\n" % shot).encode())
        # Rendering it in software takes long on a busy machine.
        wait_for("the screenshot", lambda: os.path.exists(shot), timeout=60)

        # A file the helper ignores: shown with its reason, and never written.
        broken = b"<plist><dict><key>BackButton</key>"
        with open(os.path.join(home, PREFS), "wb") as file:
            file.write(broken)
        window.shows("These settings cannot be changed here")
        window.shows("the helper ignores it")
        assert not window.state(SWITCH, pyatspi.STATE_SENSITIVE)
        for control in (SWITCH, "Clear Back", "Passthrough button on"):
            window.act(control)
        window.act("Press a button for Back")
        press(4)
        with open(os.path.join(home, PREFS), "rb") as file:
            assert file.read() == broken, "a file the helper ignores was written"

        # Readable again: the window may change it again.
        with open(os.path.join(home, PREFS), "wb") as file:
            plistlib.dump({"Enabled": True, "BackButton": 3}, file)
        window.shows_no("These settings cannot be changed here")
        window.shows("Button 3 · BTN_SIDE")
        assert window.state(SWITCH, pyatspi.STATE_SENSITIVE)

        os.close(presses)  # the window ends when its script does
        assert window_process.wait(timeout=10) == 0
        return 0
    except BaseException:
        if window_process:
            window_log.seek(0)
            print("the window (%s) said:\n%s" % (
                "running" if window_process.poll() is None else
                "ended with %d" % window_process.returncode, window_log.read()), file=sys.stderr)
        raise
    finally:
        if window_process and window_process.poll() is None:
            window_process.kill()
            window_process.wait()
        if session:
            session.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
