#!/usr/bin/python3
"""End-to-end test of the converter window, used the way a person uses it.

Runs inside run.sh's private X server and D-Bus session. Starts a window
manager (openbox) and the built program, drives it with real mouse clicks and
key presses (xdotool) through the real file dialog, and reads what the window
shows through the accessibility bus, as a screen reader does. Outputs are
checked with ffprobe and ffmpeg.

Every scenario is a step; a failed step leaves a screenshot and the window's
contents in the artifacts folder, and the program is started afresh for the
next step. The exit status is 1 when any step failed.

    window_e2e.py PROGRAM SAMPLES_DIR ARTIFACTS_DIR
"""
import hashlib
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback

PROGRAM, SAMPLES, ARTIFACTS = (os.path.abspath(a) for a in sys.argv[1:4])
T0 = time.monotonic()
TITLE = r"^Quenvaro ver\."
STATUS_WAIT = 60  # seconds for a conversion of a short clip, on a loaded machine
PRESET_NAMES = [
    "iPod 320x240, video 300 kbit/s, audio 64 kbit/s",
    "iPod 320x240, video 600 kbit/s, audio 128 kbit/s",
    "iPod 640x480, video 1000 kbit/s, audio 128 kbit/s",
    "iPod 640x480, video 1500 kbit/s, audio 160 kbit/s",
    "Phone 176x144, video 128 kbit/s, audio 32 kbit/s mono",
    "H.264 1280x720 (HD), video 2500 kbit/s, audio 128 kbit/s",
    "H.264 854x480, video 1200 kbit/s, audio 128 kbit/s",
    "H.264 640x360, video 700 kbit/s, audio 96 kbit/s",
]
PHONE = PRESET_NAMES[4]
REWRAP_ALL = "Original quality, no re-encoding (fastest)"
REWRAP_VIDEO = "Original video quality (audio converted to AAC)"


class StepFailed(Exception):
    pass


def log(text):
    print(f"[{time.monotonic() - T0:6.1f}s] {text}", flush=True)


def check(condition, text):
    if not condition:
        raise StepFailed(text)


def wait_for(predicate, timeout, what, interval=0.1):
    """The first true value of predicate() within timeout seconds."""
    end = time.monotonic() + timeout
    while True:
        try:
            value = predicate()
        except StepFailed:
            raise
        except Exception:  # the window is changing under the query
            value = None
        if value:
            return value
        if time.monotonic() > end:
            raise StepFailed(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def run(args, **kw):
    return subprocess.run([str(a) for a in args], capture_output=True, text=True, **kw)


def xdotool(*args):
    return run(["xdotool", *args], check=True).stdout.strip()


def screenshot(name):
    path = os.path.join(ARTIFACTS, name + ".png")
    run(["import", "-window", "root", path])
    return path


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def size(path):
    return os.path.getsize(path) if os.path.exists(path) else -1


# ---------------------------------------------------------------------------
# Media checks (ffprobe and ffmpeg are the oracle)

def probe(path):
    out = run(["ffprobe", "-v", "error", "-print_format", "json", "-show_format", "-show_streams", path])
    check(out.returncode == 0, f"ffprobe cannot read {path}: {out.stderr.strip()}")
    info = json.loads(out.stdout)
    streams = {s["codec_type"]: s for s in info.get("streams", [])}
    return info["format"], streams


def packet_hashes(path, stream):
    """The MD5 of every packet of the first video ("v") or audio ("a") stream."""
    out = run(["ffprobe", "-v", "error", "-select_streams", f"{stream}:0", "-show_data_hash", "md5",
               "-show_entries", "packet=data_hash", "-of", "csv=p=0", path])
    check(out.returncode == 0, f"ffprobe cannot read {path}: {out.stderr.strip()}")
    return out.stdout.split()


def check_playable(path, video="mpeg4"):
    """The file decodes from end to end without an error; its duration."""
    fmt, streams = probe(path)
    check("video" in streams and "audio" in streams, f"{path}: streams {sorted(streams)}")
    check(streams["video"]["codec_name"] == video, f"{path}: video {streams['video']['codec_name']}")
    check(streams["audio"]["codec_name"] == "aac", f"{path}: audio {streams['audio']['codec_name']}")
    decode = run(["ffmpeg", "-nostdin", "-v", "error", "-i", path, "-f", "null", "-"])
    check(decode.returncode == 0 and not decode.stderr.strip(), f"{path} does not decode cleanly: {decode.stderr[:500]}")
    return float(fmt["duration"]), streams


# ---------------------------------------------------------------------------
# The desktop session

class Session:
    def __init__(self, scratch):
        self.scratch = scratch
        self.env = dict(os.environ)
        for var in ("XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION", "GNOME_DESKTOP_SESSION_ID"):
            self.env.pop(var, None)
        for var in ("XDG_CONFIG_HOME", "XDG_RUNTIME_DIR", "XDG_DATA_HOME", "XDG_CACHE_HOME"):
            path = os.path.join(scratch, var.lower())
            os.makedirs(path, mode=0o700, exist_ok=True)
            self.env[var] = path
        self.env["QT_QPA_PLATFORM"] = "xcb"
        self.env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"] = "1"
        # The desktop opener the program finds: one that records what it is asked to open.
        bindir = os.path.join(scratch, "bin")
        os.makedirs(bindir)
        self.opened = os.path.join(scratch, "opened.txt")
        opener = os.path.join(bindir, "xdg-open")
        with open(opener, "w") as f:
            f.write('#!/bin/sh\nprintf "%s\\n" "$@" >> "$QV_E2E_OPENED"\n')
        os.chmod(opener, 0o755)
        self.env["PATH"] = bindir + os.pathsep + self.env.get("PATH", "/usr/bin:/bin")
        self.env["QV_E2E_OPENED"] = self.opened
        self.wm = None
        self.app = None
        self.applog = None
        self.registry = None

    def start_desktop(self):
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env, stdout=subprocess.DEVNULL,
                                   stderr=open(os.path.join(ARTIFACTS, "openbox.log"), "w"))
        wait_for(lambda: "window id" in run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"]).stdout, 20,
                 "the window manager")
        # The accessibility bus and its registry must be up before the program
        # starts, or the program's registration can be lost.
        import pyatspi  # connects to the session's accessibility bus
        self.registry = pyatspi.Registry
        wait_for(lambda: self.registry.getDesktop(0) is not None, 20, "the accessibility registry")

    def start_app(self, args=(), ready="Status: Ready"):
        self.applog = open(os.path.join(ARTIFACTS, "program.log"), "a")
        self.app = subprocess.Popen([PROGRAM, *args], env=self.env, stdout=self.applog, stderr=subprocess.STDOUT,
                                    cwd=self.scratch)
        wid = wait_for(lambda: run(["xdotool", "search", "--onlyvisible", "--name", TITLE]).stdout.split(), 30,
                       "the window")[0]
        win = Window(self, wid)
        wait_for(win.root, 30, "the window on the accessibility bus")
        wait_for(lambda: win.status(0) == ready, 10, "the window's contents")
        return win

    def stop_app(self):
        if self.app and self.app.poll() is None:
            self.app.kill()
            self.app.wait()
        self.app = None

    def finish(self):
        self.stop_app()
        if self.wm:
            self.wm.terminate()
            self.wm.wait()


class Window:
    """The program's window as the accessibility bus shows it."""

    def __init__(self, session, wid):
        self.session = session
        self.wid = wid
        self._app = None

    # -- reading ------------------------------------------------------------
    def app_root(self):
        if self._app is None:
            desktop = self.session.registry.getDesktop(0)
            for i in range(desktop.childCount):
                child = desktop.getChildAtIndex(i)
                if child is not None and child.get_process_id() == self.session.app.pid:
                    self._app = child
        if self._app is not None:
            self._app.clear_cache()  # names change as the window works
        return self._app

    def top_levels(self):
        app = self.app_root()
        return [app.getChildAtIndex(i) for i in range(app.childCount)] if app else []

    def root(self):
        for top in self.top_levels():
            if top is not None and top.name.startswith("Quenvaro ver."):
                return top
        return None

    def children(self, acc):
        return [c for c in (acc.getChildAtIndex(i) for i in range(acc.childCount)) if c is not None]

    def controls(self):
        return self.children(self.root())

    def role(self, acc):
        return acc.getRoleName()

    def status_panels(self):
        bars = [c for c in self.controls() if self.role(c) == "filler" and c.childCount == 3
                and all(self.role(p) == "label" for p in self.children(c))]
        check(bars, "no status bar found")
        return self.children(bars[-1])

    def status(self, i):
        return self.status_panels()[i].name

    def text_box(self, description_start):
        for c in self.controls():
            if self.role(c) == "text" and c.description.startswith(description_start):
                return c
        raise StepFailed(f"no text box '{description_start}'")

    def input_text(self):
        return self.text_box("Double click").queryText().getText(0, -1)

    def output_text(self):
        return self.text_box("This box is read only").queryText().getText(0, -1)

    def button(self, name, nth=0):
        """The nth showing button of that name, in layout order ("..." 0: the input's, 1: the output's)."""
        found = [c for c in self.controls() if self.role(c) == "push button" and c.name == name and self.showing(c)]
        if len(found) <= nth:
            raise StepFailed(f"no button '{name}' #{nth}")
        return found[nth]

    def focused(self, acc):
        import pyatspi
        return acc.getState().contains(pyatspi.STATE_FOCUSED)

    def height(self):
        """The window's client height as X has it."""
        out = xdotool("getwindowgeometry", self.wid)
        return int(out.split("Geometry:")[1].split("x")[1])

    def enabled(self, acc):
        import pyatspi
        return acc.getState().contains(pyatspi.STATE_SENSITIVE)

    def showing(self, acc):
        import pyatspi
        return acc.getState().contains(pyatspi.STATE_SHOWING)

    def label_starting(self, text):
        for c in self.controls():
            if self.role(c) == "label" and c.name.startswith(text):
                return c
        for c in self.children(self.controls()[0]):  # the header
            if self.role(c) == "label" and c.name.startswith(text):
                return c
        raise StepFailed(f"no label '{text}'")

    def combo(self):
        for c in self.controls():
            if self.role(c) == "combo box":
                return c
        raise StepFailed("no preset list")

    def combo_items(self):
        lists = [c for c in self.children(self.combo()) if self.role(c) == "list"]
        return self.children(lists[0]) if lists else []

    def combo_list_open(self):
        lists = [c for c in self.children(self.combo()) if self.role(c) == "list"]
        return bool(lists) and self.showing(lists[0])

    def descendants(self, acc):
        found = []
        for c in self.children(acc):
            found.append(c)
            found.extend(self.descendants(c))
        return found

    def dialogs(self):
        return [t for t in self.top_levels() if t is not None and not t.name.startswith("Quenvaro ver.")
                and self.showing(t)]

    def describe(self):
        """Everything the window shows, for the failure report."""
        lines = []

        def walk(acc, depth):
            text = ""
            try:
                if self.role(acc) == "text":
                    text = " text=" + repr(acc.queryText().getText(0, -1))
            except Exception:
                pass
            state = "" if self.enabled(acc) else " (disabled)"
            lines.append("  " * depth + f"{self.role(acc)} {acc.name!r}{text}{state}")
            for c in self.children(acc):
                walk(c, depth + 1)
        for top in self.top_levels():
            if top is not None:
                walk(top, 0)
        return "\n".join(lines)

    # -- acting -------------------------------------------------------------
    def click(self, acc, right_end=False, fraction_y=0.5):
        """A left click in the middle of the control (or near its right end, or at a fraction of its height)."""
        import pyatspi
        box = acc.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        check(box.width > 0 and box.height > 0, f"'{acc.name}' is not on screen")
        x = box.x + box.width - 8 if right_end else box.x + box.width // 2
        # No --sync: it waits for a motion, which never comes when the pointer
        # is already there. The server handles the move before the click.
        xdotool("mousemove", x, box.y + int(box.height * fraction_y), "click", "1")

    def key(self, *keys):
        xdotool("key", "--clearmodifiers", *keys)

    def type(self, text):
        xdotool("type", "--clearmodifiers", "--delay", "12", text)

    def activate(self):
        xdotool("windowactivate", "--sync", self.wid)

    # -- user actions -------------------------------------------------------
    def pick_with_dialog(self, path):
        """Picks a file with the "..." button and the real file dialog, typing its name."""
        self.pick_several_with_dialog([path])

    def pick_several_with_dialog(self, paths):
        """Picks files with the real file dialog, typing their names as the dialog
        takes several: each in double quotes."""
        log(f"  picking {', '.join(os.path.basename(p) for p in paths)}")
        typed = paths[0] if len(paths) == 1 else " ".join(f'"{p}"' for p in paths)
        path = paths[0]
        self.click(self.button("..."))
        self.answer_file_dialog("Open", typed)
        wait_for(lambda: self.input_text() == path, 10, f"the input box to name {path}")

    def answer_file_dialog(self, title, typed, opened=False):
        """Waits for the file dialog of that title, types over its file name and presses Enter."""
        if not opened:
            dialog = wait_for(lambda: run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"]).stdout.split(),
                              10, f"the '{title}' dialog")[0]
            wait_for(lambda: xdotool("getactivewindow") == dialog, 10, f"the '{title}' dialog to take the keyboard")
        wait_for(lambda: self.file_name_box_focused(title), 10, "the file name box of the dialog to take the focus")
        self.key("ctrl+a")  # a save dialog offers a name already
        self.type(typed)
        self.key("Return")
        wait_for(lambda: not run(["xdotool", "search", "--onlyvisible", "--name", f"^{title}$"]).stdout.strip(), 10,
                 f"the '{title}' dialog to close")

    def file_name_box_focused(self, title="Open"):
        import pyatspi
        for d in self.dialogs():
            if d.name == title:
                for c in self.descendants(d):
                    if self.role(c) == "text" and c.name == "File name:":
                        return c.getState().contains(pyatspi.STATE_FOCUSED)
        return False

    def choose_preset(self, name):
        """Opens the preset list with its arrow and clicks the entry of that name."""
        self.click(self.combo(), right_end=True)
        wait_for(self.combo_list_open, 5, "the preset list to open")
        items = [i for i in self.combo_items() if i.name == name]
        check(items, f"no entry '{name}' among {[i.name for i in self.combo_items()]}")
        self.click(items[0])
        wait_for(lambda: not self.combo_list_open() and self.combo().name == name, 5, f"preset '{name}'")

    def replace_input_text(self, text):
        """Clicks into the input box and types over its text."""
        self.click(self.text_box("Double click"))
        self.key("ctrl+a")
        self.type(text)
        wait_for(lambda: self.input_text() == text, 5, "the typed name")

    def wait_status(self, text, timeout=STATUS_WAIT):
        wait_for(lambda: self.status(0) == text, timeout, f"'{text}' (status: {self.status(0)!r})", 0.2)

    def percent(self):
        return int(self.status(2).rstrip("%") or 0)


# ---------------------------------------------------------------------------
# The scenarios

class Steps:
    def __init__(self, session, media):
        self.s = session
        self.m = media
        self.w = None

    def fresh_window(self):
        self.s.stop_app()
        self.w = self.s.start_app()

    def starts_idle(self):
        w = self.w
        check(w.status(0) == "Status: Ready" and w.status(2) == "0%", "not idle at start")
        check(not w.enabled(w.button("Convert")) and not w.enabled(w.button("Stop")), "Convert or Stop enabled at start")
        check(w.combo().name == PRESET_NAMES[0], f"first preset not selected: {w.combo().name!r}")
        check([i.name for i in w.combo_items()] == PRESET_NAMES, "preset list differs from formats.ini")

    def pick_preset_convert(self):
        """Dialog, preset choice with the mouse, Convert, Done, a right output."""
        w, clip = self.w, self.m["clip"]
        w.pick_with_dialog(clip)
        check(w.output_text() == self.m.out("clip_(new).mp4"), f"output name {w.output_text()!r}")
        # An H.264 clip: the list starts with the rewrap, which is chosen (the last run was a rewrap).
        names = [i.name for i in w.combo_items()]
        check(names == [REWRAP_ALL] + PRESET_NAMES, f"preset list for an H.264 file: {names}")
        check(w.combo().name == REWRAP_ALL, f"the choice is {w.combo().name!r}")
        # The dialog's completion list must be gone: the first click after it opens the preset list.
        w.choose_preset(PHONE)
        check(w.enabled(w.button("Convert")), "Convert disabled after a good pick")
        w.click(w.button("Convert"))
        w.wait_status("Status: Done")
        check(w.status(2) == "100%", f"percentage {w.status(2)!r}")
        elapsed = w.label_starting("Elapsed time").name
        check(elapsed.startswith("Elapsed time: 00:0"), f"elapsed time not kept after the run: {elapsed!r}")
        check(w.label_starting("Estimated time").name == "Estimated time:", "time left shown after the run")
        check(not w.enabled(w.button("Convert")), "Convert enabled after the run")
        duration, streams = check_playable(self.m.out("clip_(new).mp4"))
        v, a = streams["video"], streams["audio"]
        check((v["width"], v["height"]) == (176, 144), f"frame size {v['width']}x{v['height']}")
        check(v["avg_frame_rate"] == "15/1", f"frame rate {v['avg_frame_rate']}")
        check(int(a["channels"]) == 1 and a["sample_rate"] == "22050", f"audio {a['channels']} ch {a['sample_rate']} Hz")
        check(abs(duration - self.m.duration("clip")) < 1.0, f"duration {duration} of {self.m.duration('clip')}")
        self.m.first_output_hash = sha256(self.m.out("clip_(new).mp4"))

    def convert_again(self):
        """The same file again: a new name, the first output untouched (Enter converts)."""
        w = self.w
        w.pick_with_dialog(self.m["clip"])
        check(w.output_text() == self.m.out("clip_(new_1).mp4"), f"output name {w.output_text()!r}")
        w.key("Return")
        w.wait_status("Status: Done")
        check_playable(self.m.out("clip_(new_1).mp4"))
        check(self.m.first_output_hash, "no first output to compare (the first conversion failed)")
        check(sha256(self.m.out("clip_(new).mp4")) == self.m.first_output_hash, "the first output changed")

    def refused_files(self):
        """A text file named .flv and an empty one: panels reset, the reason shown."""
        w = self.w
        for name in ("notes.flv", "empty.flv"):
            w.pick_with_dialog(self.m[name])
            wait_for(lambda: w.status(1).startswith("File open error: "), 5, f"the reason for {name}")
            check(w.status(1) == f"File open error: {self.m[name]}: Unknown format", f"reason {w.status(1)!r}")
            check(w.status(0) == "Status: Not ready" and w.status(2) == "0%",
                  f"panels not reset: {w.status(0)!r} {w.status(2)!r}")
            check(not w.enabled(w.button("Convert")), f"Convert enabled for {name}")
            check(not w.dialogs(), f"a message box for {name}")

    def typed_name_is_converted(self):
        """What the input box names is what gets converted, under its own name."""
        w, m = self.w, self.m
        w.pick_with_dialog(m["clip"])
        check(w.enabled(w.button("Convert")), "Convert disabled after a good pick")
        w.replace_input_text(m["other"])
        time.sleep(0.5)
        check(not w.enabled(w.button("Convert")), "Convert still enabled for the task of the previous name")
        w.click(w.button("Convert"))
        time.sleep(1.0)
        check(w.status(0) == "Status: Ready", f"a conversion started: {w.status(0)!r}")
        w.key("Tab")  # leaving the box configures the task from it
        wait_for(lambda: w.output_text() == m.out("other_(new).mp4") and w.enabled(w.button("Convert")), 10,
                 f"the task for the typed name (output {w.output_text()!r})")
        w.click(w.button("Convert"))
        w.wait_status("Status: Done")
        duration, _ = check_playable(m.out("other_(new).mp4"))
        check(abs(duration - m.duration("other")) < 1.5, f"other_(new).mp4 lasts {duration} s, not {m.duration('other')}")
        check(size(m.out("clip_(new_2).mp4")) <= 0, "the previously picked file was converted")

    def typed_name_after_a_refused_pick(self):
        """A refused pick, a good name typed over it, a preset change: that file, under its own name."""
        w, m = self.w, self.m
        expected = self.other_output()
        w.pick_with_dialog(m["notes.flv"])
        check(w.output_text() == m.out("notes_(new).mp4"), f"output name {w.output_text()!r}")
        w.replace_input_text(m["other"])
        w.choose_preset(PRESET_NAMES[1])
        wait_for(lambda: w.output_text() == m.out(expected), 5,
                 f"the output name of the typed file (shows {w.output_text()!r})")
        check(w.enabled(w.button("Convert")), "Convert disabled after the preset change")
        w.key("Return")
        w.wait_status("Status: Done")
        check(size(m.out("notes_(new).mp4")) <= 0, "the typed file was written under the refused file's name")
        duration, streams = check_playable(m.out(expected))
        check(abs(duration - m.duration("other")) < 1.5, f"{expected} lasts {duration} s")
        check(streams["video"]["width"] == 320, f"preset not applied: width {streams['video']['width']}")

    def other_output(self):
        # The first free name: the step before may or may not have converted other.flv.
        return "other_(new_1).mp4" if os.path.exists(self.m.out("other_(new).mp4")) else "other_(new).mp4"

    def typing_into_the_preset_list(self):
        """Keys on the preset list choose presets only; they never start a conversion."""
        w, m = self.w, self.m
        w.pick_with_dialog(m["clip"])
        output = w.output_text()
        w.click(w.combo())  # the focus goes to the list (a drop-down list also opens)
        time.sleep(0.5)
        if w.combo_list_open():
            w.key("Escape")
            wait_for(lambda: not w.combo_list_open(), 5, "the preset list to close")
        w.type("zz zz")
        w.key("Escape")
        w.key("Down")  # the next preset, chosen in place
        w.key("space")
        time.sleep(1.0)
        w.key("Escape")
        time.sleep(0.5)
        check(w.status(0) == "Status: Ready", f"keys on the preset list started a conversion: {w.status(0)!r}")
        check(not w.enabled(w.button("Stop")), "a conversion runs")
        check(w.input_text() == m["clip"], f"keys landed in the input box: {w.input_text()!r}")
        check(w.combo().name in PRESET_NAMES, f"the preset list shows {w.combo().name!r}")
        check(len(w.combo_items()) == len(PRESET_NAMES) + 1, "the preset list changed")
        check(w.enabled(w.button("Convert")), "Convert disabled after choosing with keys")
        check(size(output) <= 0, f"{output} was written")

    def stop_midway(self):
        """Stop mid-run: the status says so and the part written plays."""
        w, m = self.w, self.m
        w.pick_with_dialog(m["long"])
        out = w.output_text()
        w.click(w.button("Convert"))
        wait_for(lambda: 2 <= w.percent() < 80, 30, "progress", 0.05)
        w.click(w.button("Stop"))
        w.wait_status("Status: Conversion stopped", 30)
        check(w.label_starting("Elapsed time").name.startswith("Elapsed time: 00:"), "elapsed time not kept")
        duration, _ = check_playable(out)
        check(0.5 < duration < m.duration("long") - 5, f"stopped output lasts {duration} s")

    def rewrap_entry(self):
        """An H.264 clip rewrapped: the size told beforehand, the packets unchanged, no re-encoding."""
        w, m = self.w, self.m
        w.pick_with_dialog(m["clip"])
        out = w.output_text()
        w.choose_preset(REWRAP_ALL)
        expected = w.status(1)
        check(expected.startswith("Expected size: ~ "), f"panel 1 before the rewrap: {expected!r}")
        w.click(w.button("Convert"))
        w.wait_status("Status: Done")
        check_playable(out, video="h264")
        check(packet_hashes(out, "v") == packet_hashes(m["clip"], "v"), "the video packets changed")
        check(packet_hashes(out, "a") == packet_hashes(m["clip"], "a"), "the audio packets changed")
        number, unit = expected.split()[-2:]
        told = float(number) * {"Kbytes": 1024, "Mbytes": 1048576}.get(unit, 1)
        check(abs(told - size(out)) < 0.05 * size(out), f"told {expected!r}, wrote {size(out)} bytes")
        # H.264 with Speex sound: the entry says the sound is converted, and stays chosen.
        w.pick_with_dialog(m["other"])
        wait_for(lambda: w.combo_items()[0].name == REWRAP_VIDEO and w.combo().name == REWRAP_VIDEO, 5,
                 f"the video-only rewrap entry (list shows {w.combo().name!r})")

    def queue_of_three(self):
        """Three files picked at once, the middle one no video: one after another, a summary at the end."""
        w, m = self.w, self.m
        files = [m["clip"], m["notes.flv"], m["other"]]
        w.pick_several_with_dialog(files)
        wait_for(lambda: w.status(1).startswith("3 files queued"), 10, f"the queue (panel 1: {w.status(1)!r})")
        w.choose_preset(PHONE)
        check(w.enabled(w.button("Convert")), "Convert disabled for the queue")
        w.click(w.button("Convert"))
        w.wait_status("Status: Converting 1 of 3...", 10)
        wait_for(lambda: w.status(0) == "Status: Converting 3 of 3..." and w.input_text() == m["other"],
                 STATUS_WAIT, f"the third file (status {w.status(0)!r})", 0.05)

        def summary():
            for d in w.dialogs():
                texts = [c.name for c in w.descendants(d)]
                for t in texts:
                    if t.startswith("2 of 3 files converted."):
                        return d, t
            return None
        box, text = wait_for(summary, STATUS_WAIT, "the summary of the queue")
        check("notes.flv: File open error: Unknown format" in text, f"the failure is not listed: {text!r}")
        check(text.endswith(f"Output folder:\n{m.dir}"), f"the output folder is not named: {text!r}")
        outputs = [os.path.join(m.dir, line.split(" -> ")[1]) for line in text.splitlines() if " -> " in line]
        check(len(outputs) == 2, f"converted files listed: {text!r}")
        ok = [c for c in w.descendants(box) if w.role(c) == "push button" and c.name.replace("&", "") == "OK"]
        check(ok, "no OK button in the summary")
        w.click(ok[0])
        wait_for(lambda: not summary(), 10, "the summary to close")
        check(w.status(0) == "Status: Done, 2 of 3 converted", f"status {w.status(0)!r}")
        for out in outputs:
            _, streams = check_playable(out)
            check(streams["video"]["width"] == 176, f"{out}: preset not applied")
        check(not any(os.path.basename(p).startswith("notes_(new") for p in os.listdir(m.dir)), "notes.flv was written")

    def rewrap_preselected(self):
        """An H.264 file (fresh settings): the rewrap is chosen, so Convert at once copies the streams."""
        w, m = self.w, self.m
        w.pick_with_dialog(m["lecture"])
        wait_for(lambda: w.combo().name == REWRAP_ALL, 5, f"the rewrap chosen (list shows {w.combo().name!r})")
        check(w.focused(w.button("Convert")), "Convert does not have the focus")
        w.key("Return")
        w.wait_status("Status: Done")
        out = m.out("lecture_(new).mp4")
        check_playable(out, video="h264")
        check(packet_hashes(out, "v") == packet_hashes(m["lecture"], "v"), "the video was re-encoded")

    def command_line_file(self):
        """quenvaro FILE picks the file; quenvaro FILE FILE queues both."""
        self.s.stop_app()
        try:
            self.command_line_windows()
        finally:
            self.s.stop_app()
            # A killed window leaves the empty output its task had opened.
            for name in os.listdir(self.m.dir):
                if name.endswith(".mp4") and size(self.m.out(name)) == 0:
                    os.remove(self.m.out(name))
        self.fresh_window()

    def command_line_windows(self):
        w = self.s.start_app([self.m["other"]])
        self.w = w
        wait_for(lambda: w.input_text() == self.m["other"], 10, f"the file of the command line (box: {w.input_text()!r})")
        check(w.output_text() == self.m.out("other_(new).mp4"), f"output name {w.output_text()!r}")
        check(w.enabled(w.button("Convert")), "Convert disabled for the file of the command line")
        check(w.status(1).startswith("Expected size: ~ "), f"panel 1 {w.status(1)!r}")
        self.s.stop_app()
        self.w = w = self.s.start_app([self.m["clip"], self.m["other"]])
        wait_for(lambda: w.status(1).startswith("2 files queued"), 10, f"the queue (panel 1: {w.status(1)!r})")
        check(w.input_text() == self.m["clip"], f"input box {w.input_text()!r}")
        queue = [d for d in w.dialogs() if d.name == "Queue"]
        check(queue, "the queue's list is not shown")
        names = [c.name for c in w.descendants(queue[0])]
        check("clip.flv" in names and "other.flv" in names, f"the queue lists {names}")

    def choose_output_in_save_dialog(self):
        """The output's "..." opens a save dialog; the conversion writes the name typed there."""
        w, m = self.w, self.m
        w.pick_with_dialog(m["clip"])
        chosen = os.path.join(m.elsewhere, "my choice.mp4")
        w.click(w.button("...", 1))
        w.answer_file_dialog("Save As", chosen)
        wait_for(lambda: w.output_text() == chosen, 10, f"the chosen output (box: {w.output_text()!r})")
        wait_for(lambda: w.enabled(w.button("Convert")), 10, "Convert for the chosen output")
        w.click(w.button("Convert"))
        w.wait_status("Status: Done")
        check_playable(chosen)

    def read_only_input_folder(self):
        """A file on a read-only folder: the reason, the output's "..." focused, saved where the user says."""
        w, m = self.w, self.m
        check(m.read_only, "no read-only folder could be made")
        src = os.path.join(m.read_only, "lecture.flv")
        w.pick_with_dialog(src)
        reason = (f"The folder {m.read_only} is read-only: choose where to save the output with \"...\"")
        wait_for(lambda: w.status(1) == reason, 10, f"the reason (panel 1: {w.status(1)!r})")
        check(w.status(0) == "Status: Not ready", f"status {w.status(0)!r} beside the reason")
        check(not w.enabled(w.button("Convert")), "Convert enabled")
        wait_for(lambda: w.focused(w.button("...", 1)), 5, "the output's button to take the focus")
        check(not w.dialogs(), "a message box about the folder")
        w.key("Return")  # the focused button
        chosen = os.path.join(m.elsewhere, "from the disc.mp4")
        w.answer_file_dialog("Save As", chosen)
        wait_for(lambda: w.output_text() == chosen and w.enabled(w.button("Convert")), 10,
                 f"the chosen output (box: {w.output_text()!r})")
        check(w.status(0) == "Status: Ready", f"status {w.status(0)!r}")
        w.key("Return")
        w.wait_status("Status: Done")
        # The entry is whatever the earlier steps' conversions left chosen.
        _, streams = probe(chosen)
        check_playable(chosen, video=streams["video"]["codec_name"])

    def long_path(self):
        """A long path and a long reason: elided in the window, whose height never changes."""
        w, m = self.w, self.m
        before = w.height()
        check(before == 287, f"window height {before} at start")
        w.pick_with_dialog(m["long name"])
        check(w.height() == before, f"height {w.height()} after picking a long name")
        w.pick_with_dialog(m["long notes"])
        wait_for(lambda: w.status(1).startswith("File open error: "), 10, f"the reason (panel 1: {w.status(1)!r})")
        check(w.status(1) == f"File open error: {m['long notes']}: Unknown format", f"panel 1 {w.status(1)!r}")
        time.sleep(0.5)
        check(w.height() == before, f"height {w.height()} with a long reason")
        screenshot("long-path")

    def close_question_after_run_end(self):
        """Closing near the end, the question left unanswered: it goes when the run ends, the program quits."""
        w, m = self.w, self.m
        w.pick_with_dialog(m["mid"])
        out = w.output_text()
        w.click(w.button("Convert"))
        wait_for(lambda: w.percent() >= 2, 30, "progress", 0.05)

        def question():
            for d in w.dialogs():
                if "A conversion is running. Stop it and quit?" in [c.name for c in w.descendants(d)]:
                    return d
            return None
        w.activate()
        w.key("alt+F4")
        wait_for(question, 10, "the question before closing")
        wait_for(lambda: self.s.app.poll() is not None, STATUS_WAIT * 2, "the program to quit when the run ended")
        check(self.s.app.returncode == 0, f"exit status {self.s.app.returncode}")
        duration, _ = check_playable(out)
        check(abs(duration - m.duration("mid")) < 1.0, f"output lasts {duration} s of {m.duration('mid')}")
        self.fresh_window()

    def guide_link(self):
        """The link opens the installed user guide with the desktop's opener."""
        w = self.w
        # Its two lines: "More Free Video Tools" leads to the guide's section on
        # the other tools, "get more information" to the guide; F1 too.
        w.click(w.label_starting("More Free Video Tools"), fraction_y=0.25)
        wait_for(lambda: os.path.exists(self.s.opened) and len(open(self.s.opened).read().split()) == 1, 10,
                 "the desktop opener")
        w.click(w.label_starting("More Free Video Tools"), fraction_y=0.75)
        wait_for(lambda: len(open(self.s.opened).read().split()) == 2, 10, "the opener for the second line")
        w.key("F1")
        opened = wait_for(lambda: (lambda o: o if len(o) == 3 else None)(open(self.s.opened).read().split()), 10,
                          "the opener for F1")
        check(all(o.startswith("file:///") for o in opened), f"opened {opened}")
        path = opened[1][len("file://"):]
        check(path.endswith("/share/doc/quenvaro/user-guide.html") and os.path.isfile(path), f"guide {path}")
        check("<html" in open(path).read(), "the guide is not HTML")
        check(opened[0] == opened[1] + "#other-tools", f"the first line opened {opened[0]}")
        check('id="other-tools"' in open(path).read(), "the guide has no section on other tools")
        check(opened[2] == opened[1], f"F1 opened {opened[2]}")
        time.sleep(0.5)
        check(not w.dialogs(), "a message box appeared although the opener ran")

    def close_while_converting(self):
        """Closing mid-run asks; "No" keeps converting, "Yes" stops it and quits with a playable file."""
        w, m = self.w, self.m
        w.pick_with_dialog(m["long"])
        out = w.output_text()
        w.click(w.button("Convert"))
        wait_for(lambda: w.percent() >= 2, 30, "progress", 0.05)

        def question():
            for d in w.dialogs():
                texts = [c.name for c in w.descendants(d)]
                if "A conversion is running. Stop it and quit?" in texts:
                    return d
            return None
        w.activate()
        w.key("alt+F4")  # the window manager's close
        wait_for(question, 10, "the question before closing")
        w.key("Escape")  # no
        wait_for(lambda: not question(), 10, "the question to go")
        check(self.s.app.poll() is None, "the program quit on 'No'")
        check(w.status(0) == "Status: Converting...", f"status after 'No': {w.status(0)!r}")
        w.activate()
        w.key("alt+F4")
        box = wait_for(question, 10, "the question before closing")
        yes = [c for c in w.descendants(box) if w.role(c) == "push button" and c.name.replace("&", "") == "Yes"]
        check(yes, "no Yes button among " + repr([(w.role(c), c.name) for c in w.descendants(box)]))
        w.click(yes[0])
        wait_for(lambda: self.s.app.poll() is not None, 30, "the program to quit")
        check(self.s.app.returncode == 0, f"exit status {self.s.app.returncode}")
        duration, _ = check_playable(out)
        check(0.5 < duration < m.duration("long") - 5, f"output of the closed run lasts {duration} s")


class Media:
    """The files the steps convert, in a folder whose name has a blank."""

    def __init__(self, scratch):
        self.dir = os.path.join(scratch, "my videos")
        os.makedirs(self.dir)
        self.files = {}
        self.durations = {}
        # Real files: an H.264/AAC test pattern, and H.264 with Speex sound.
        self.add("clip", "clip.flv", os.path.join(SAMPLES, "membrane_rtmp_plugin__testsrc.flv"))
        self.add("other", "other.flv", os.path.join(SAMPLES, "red5-server__flashContent1.flv"))
        # A five-minute clip, long enough to stop midway: 20 s made, then repeated.
        seg = os.path.join(scratch, "seg.flv")
        gen = run(["ffmpeg", "-nostdin", "-v", "error", "-f", "lavfi", "-i", "testsrc2=s=640x360:r=25:d=20",
                   "-f", "lavfi", "-i", "sine=f=440:sample_rate=44100:d=20", "-c:v", "flv1", "-q:v", "6",
                   "-c:a", "libmp3lame", "-b:a", "64k", seg])
        check(gen.returncode == 0, f"cannot make the long clip: {gen.stderr}")
        listing = os.path.join(scratch, "list.txt")
        with open(listing, "w") as f:
            f.write(f"file '{seg}'\n" * 15)
        self.files["long"] = os.path.join(self.dir, "long.flv")
        cat = run(["ffmpeg", "-nostdin", "-v", "error", "-f", "concat", "-safe", "0", "-i", listing, "-c", "copy",
                   self.files["long"]])
        check(cat.returncode == 0, f"cannot make the long clip: {cat.stderr}")
        self.durations["long"] = self.probe_duration(self.files["long"])
        self.add("lecture", "lecture.flv", os.path.join(SAMPLES, "membrane_rtmp_plugin__testsrc.flv"))
        # Two minutes: converted in seconds, long enough to ask a question meanwhile.
        with open(listing, "w") as f:
            f.write(f"file '{seg}'\n" * 6)
        self.files["mid"] = os.path.join(self.dir, "mid.flv")
        cat = run(["ffmpeg", "-nostdin", "-v", "error", "-f", "concat", "-safe", "0", "-i", listing, "-c", "copy",
                   self.files["mid"]])
        check(cat.returncode == 0, f"cannot make the middle clip: {cat.stderr}")
        self.durations["mid"] = self.probe_duration(self.files["mid"])
        # Somewhere else to save outputs.
        self.elsewhere = os.path.join(scratch, "saved here")
        os.makedirs(self.elsewhere)
        # A long path: a file with a long name in deep folders, and text named .flv there.
        deep = os.path.join(self.dir, "a folder with a rather long name for recordings",
                            "lectures of the winter term in the large hall", "week seven")
        os.makedirs(deep)
        self.files["long name"] = os.path.join(deep, "the recording of the whole lecture on tuesday morning.flv")
        shutil.copyfile(os.path.join(SAMPLES, "membrane_rtmp_plugin__testsrc.flv"), self.files["long name"])
        self.files["long notes"] = os.path.join(deep, "the notes taken during the whole lecture on tuesday.flv")
        with open(self.files["long notes"], "w") as f:
            f.write("Notes, not a video.\n")
        # A read-only folder holding an H.264 clip: a read-only bind mount as
        # root (who may write anywhere else), no write permission otherwise.
        self.read_only = None
        disc_src = os.path.join(scratch, "disc source")
        os.makedirs(disc_src)
        shutil.copyfile(os.path.join(SAMPLES, "membrane_rtmp_plugin__testsrc.flv"), os.path.join(disc_src, "lecture.flv"))
        disc = os.path.join(scratch, "disc")
        os.makedirs(disc)
        self.mounted = None
        self.immutable = None
        if os.geteuid() == 0:
            if run(["mount", "--bind", disc_src, disc]).returncode == 0:
                self.mounted = disc
                run(["mount", "-o", "remount,bind,ro", disc])
            else:  # no mounting here: an immutable folder, where the file system has them
                shutil.copyfile(os.path.join(disc_src, "lecture.flv"), os.path.join(disc, "lecture.flv"))
                if run(["chattr", "+i", disc]).returncode == 0:
                    self.immutable = disc
        else:
            shutil.copyfile(os.path.join(disc_src, "lecture.flv"), os.path.join(disc, "lecture.flv"))
            os.chmod(disc, 0o555)
        if os.path.isfile(os.path.join(disc, "lecture.flv")) and not os.access(disc, os.W_OK):
            self.read_only = disc
        # Refused files: text named .flv, and an empty file.
        self.files["notes.flv"] = os.path.join(self.dir, "notes.flv")
        with open(self.files["notes.flv"], "w") as f:
            f.write("Shopping list, not a video.\n")
        self.files["empty.flv"] = os.path.join(self.dir, "empty.flv")
        open(self.files["empty.flv"], "w").close()
        self.first_output_hash = None

    def release(self):
        if self.mounted:
            run(["umount", "-l", self.mounted])
            self.mounted = None
        if self.immutable:
            run(["chattr", "-i", self.immutable])
            self.immutable = None

    def add(self, key, name, source):
        self.files[key] = os.path.join(self.dir, name)
        shutil.copyfile(source, self.files[key])
        self.durations[key] = self.probe_duration(self.files[key])

    @staticmethod
    def probe_duration(path):
        fmt, _ = probe(path)
        return float(fmt["duration"])

    def __getitem__(self, key):
        return self.files[key]

    def duration(self, key):
        return self.durations[key]

    def out(self, name):
        return os.path.join(self.dir, name)


def main():
    scratch = tempfile.mkdtemp(prefix="qv-window-e2e-")
    session = Session(scratch)
    failures = []
    media = None
    try:
        log("making the media")
        media = Media(scratch)
        session.start_desktop()
        steps = Steps(session, media)
        log("starting the program")
        steps.fresh_window()
        order = [steps.starts_idle, steps.rewrap_preselected, steps.command_line_file, steps.pick_preset_convert,
                 steps.convert_again, steps.refused_files, steps.choose_output_in_save_dialog,
                 steps.read_only_input_folder, steps.long_path, steps.close_question_after_run_end,
                 steps.typed_name_is_converted, steps.typed_name_after_a_refused_pick,
                 steps.typing_into_the_preset_list, steps.rewrap_entry, steps.queue_of_three, steps.stop_midway,
                 steps.guide_link, steps.close_while_converting]
        for number, step in enumerate(order, 1):
            name = f"{number:02d}-{step.__name__}"
            log(f"{name}: {step.__doc__.splitlines()[0] if step.__doc__ else ''}")
            try:
                step()
                log(f"{name}: passed")
            except Exception as e:
                failures.append(name)
                detail = str(e) if isinstance(e, StepFailed) else traceback.format_exc()
                log(f"{name}: FAILED: {detail}")
                shot = screenshot(name)
                try:
                    with open(os.path.join(ARTIFACTS, name + ".txt"), "w") as f:
                        f.write(detail + "\n\n" + steps.w.describe() + "\n")
                except Exception:
                    pass
                log(f"{name}: screenshot {shot}")
                if number < len(order):
                    steps.fresh_window()  # the next step starts from a fresh window
    finally:
        session.finish()
        if media:
            media.release()
        if not failures:
            shutil.rmtree(scratch, ignore_errors=True)
        else:
            log(f"media and outputs kept in {scratch}")
    log(f"{len(failures)} step(s) failed: {', '.join(failures)}" if failures else "all steps passed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
