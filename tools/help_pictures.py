#!/usr/bin/env python3
"""Takes the pictures of the user guide from the built program itself.

Runs the real Tamarind under an Xvfb display of its own against the virtual
piano (its own instance name, working folder and program folder with a sample
update.rom made by the image tool), clicks it with xdotool as a user would,
and grabs the window with ImageMagick's import at each state the guide shows:

  connecting  "Piano Connecting ..." (no instrument answers yet)
  connected   "Piano connected." with the versions and the piano's name
  confirm     the "Start update?" question over the window
  updating    the progress bar during an update
  done        the "Update finished!" dialog
  timeout     "Time out!" after the piano stopped answering for good (the
              window still shows its name and versions as read before)

Each picture is checked before it is kept: the status line the picture is
meant to show must still be the last one the program reported after the grab
ended, and the picture must have the window's size. A run that fails a check
or a wait is tried again (three runs at most); every wait is bounded, and a
failure says what was waited for and the program's last lines.

Writes NAME.png for each picture into the output folder, then a stamp file.
"""
import argparse
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402  (the end-to-end tests' way of running the window)

PICTURES = ("connecting", "connected", "confirm", "updating", "done", "timeout")
# A slowed link, so that the update lasts long enough to be seen.
SLOW = "timing=1,link=150,latency=0.2,erase_ms=20,program_us=20"
ATTEMPTS = 3


class Failed(Exception):
    pass


class Run:
    """One start of the program in a session of its own."""

    def __init__(self, args, piano, midi="virtual", rom=True):
        self.args = args
        self.session = harness.Session(args.app, args.out)
        rom_args = ["--version", "V1.10.00", "--product", "Tessaro", "--fill", "random:2026"] if rom else None
        exe = harness.make_program_folder(self.session.tmp, args.app, args.image_tool, rom_args, self.session.env)
        self.session.exe = exe
        env = {"TAMARIND_MIDI": midi,
               "TAMARIND_VIRTUAL_PIANO": "store=" + os.path.join(self.session.tmp, "flash.bin") +
                                         ("," + piano if piano else "")}
        self.app = self.session.launch(extra_env=env)
        if self.app.first_line(20) != "Test!":
            self.fail("the program's first log line")
        self.main = self.window(harness.MAIN)

    def close(self):
        self.session.close()

    def fail(self, what):
        raise Failed("%s: not seen in time; the program's last lines:\n  %s" %
                     (what, "\n  ".join(self.app.lines[-20:])))

    def wait_line(self, text, timeout):
        if self.app.wait_line(text, timeout) is None:
            self.fail(repr(text))

    def wait_count(self, text, count, timeout):
        if self.app.wait_for(lambda line: sum(text in l for l in self.app.lines) >= count, timeout) is None:
            self.fail("%r %d times" % (text, count))

    def window(self, title, timeout=20):
        found = self.session.window(title, timeout)
        if len(found) != 1:
            self.fail("one window titled %s (found %d)" % (title, len(found)))
        return found[0]

    def last_status(self):
        self.app.wait_for(lambda line: False, 0.2)  # collects what has arrived
        statuses = [line for line in self.app.lines if line.startswith("Status: ")]
        return statuses[-1][len("Status: "):] if statuses else None

    def bounds(self, window_id):
        out = self.session.xdotool("getwindowgeometry", window_id)
        x = y = w = h = None
        for line in out.splitlines():
            if "Position:" in line:
                x, y = (int(v) for v in line.split("Position:")[1].split()[0].split(","))
            if "Geometry:" in line:
                w, h = (int(v) for v in line.split("Geometry:")[1].strip().split("x"))
        if None in (x, y, w, h):
            raise Failed("no geometry for window %s: %r" % (window_id, out))
        return x, y, w, h

    def grab(self, name, status, windows=()):
        """The screen area of the main window (and of the given windows over
        it) as NAME.png, kept only when the status line is still `status`."""
        time.sleep(0.5)  # the last paint reaches the screen
        boxes = [self.bounds(w) for w in (self.main, *windows)]
        left = min(b[0] for b in boxes)
        top = min(b[1] for b in boxes)
        right = max(b[0] + b[2] for b in boxes)
        bottom = max(b[1] + b[3] for b in boxes)
        size = "%dx%d" % (right - left, bottom - top)
        path = os.path.join(self.args.out, name + ".png")
        subprocess.run(["import", "-window", "root", "-crop", "%s+%d+%d" % (size, left, top), "+repage", path],
                       env=self.session.env, check=True, timeout=30, stdout=subprocess.DEVNULL,
                       stderr=subprocess.PIPE)
        shown = self.last_status()
        if shown != status:
            raise Failed("%s: the status line changed to %r during the grab" % (name, shown))
        got = subprocess.run(["identify", "-format", "%wx%h", path], capture_output=True, text=True,
                             timeout=30).stdout.strip()
        if got != size:
            raise Failed("%s: the picture is %s, not %s" % (name, got, size))

    def click(self, window_id, content_size, point):
        harness.click_content(self.session, window_id, content_size, *point)


def connecting(args):
    # An instrument that never answers: the window keeps looking for it.
    run = Run(args, "", midi="tcp:127.0.0.1:9", rom=False)
    try:
        time.sleep(1.0)
        run.grab("connecting", None)
    finally:
        run.close()


def update(args):
    run = Run(args, SLOW)
    try:
        run.wait_line("Status: Piano connected.", 60)
        run.grab("connected", "Piano connected.")
        run.click(run.main, harness.MAIN_SIZE, harness.UPDATE_BUTTON)
        ask = run.window(r"^Start update\?$")
        run.grab("confirm", "Piano connected.", [ask])
        run.click(ask, harness.ASK_SIZE, harness.YES)
        run.wait_line("Status: Updating....", 20)
        # The interim program and the image are written; the flash is being
        # read back for the check: the bar is well on its way.
        run.wait_count("Program finished", 3, 60)
        run.grab("updating", "Updating....")
        run.wait_line("Status: Update OK!", 180)
        done = run.window(r"^Update finished!$")
        run.grab("done", "Update OK!", [done])
        run.click(done, harness.DONE_SIZE, harness.OK)
        if run.app.proc.wait(20) != 0:
            raise Failed("the program did not end well after OK")
    finally:
        run.close()


def timeout(args):
    # The piano stops answering when the update reads its data region, and
    # answers nothing after that, as when its cable is pulled.
    run = Run(args, "silent_on_read=0x40000")
    try:
        run.wait_line("Status: Piano connected.", 60)
        run.click(run.main, harness.MAIN_SIZE, harness.UPDATE_BUTTON)
        run.click(run.window(r"^Start update\?$"), harness.ASK_SIZE, harness.YES)
        run.wait_line("Status: Time out!", 60)
        run.wait_line("Looking for the piano again.", 20)
        run.grab("timeout", "Time out!")
        # The guide says of this picture that the piano no longer answers.
        lines = run.app.lines
        since = lines[next(i for i, line in enumerate(lines) if "Status: Time out!" in line):]
        if any(line.startswith("Paired with input") for line in since):
            raise Failed("timeout: the piano answered again before the grab ended")
    finally:
        run.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--app", required=True, help="the built Tamarind program")
    parser.add_argument("--image-tool", required=True, help="the built image tool")
    parser.add_argument("--out", required=True, help="folder for the pictures")
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    stamp = os.path.join(args.out, "pictures.stamp")
    if os.path.exists(stamp):
        os.remove(stamp)
    started = time.monotonic()
    for step in (connecting, update, timeout):
        for attempt in range(1, ATTEMPTS + 1):
            try:
                step(args)
                break
            except (Failed, subprocess.SubprocessError, OSError) as e:
                print("help_pictures: %s, attempt %d of %d: %s" % (step.__name__, attempt, ATTEMPTS, e),
                      file=sys.stderr)
                if attempt == ATTEMPTS:
                    print("help_pictures: giving up; the user guide needs these pictures", file=sys.stderr)
                    return 1
    missing = [p for p in PICTURES if not os.path.exists(os.path.join(args.out, p + ".png"))]
    if missing:
        print("help_pictures: missing %s" % ", ".join(missing), file=sys.stderr)
        return 1
    with open(stamp, "w") as f:
        f.write("\n".join(PICTURES) + "\n")
    print("help_pictures: %d pictures in %.1f s" % (len(PICTURES), time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
