"""The system's MIDI path, end to end: the programs pair and update through
the operating system's MIDI (the ALSA sequencer), the instrument being the
virtual piano as a sequencer client of its own (virtual-piano --system).

Runs where a sequencer exists: in the virtual machine of
tests/system-midi/run.sh, which loads the sequencer with "Midi Through" and a
VirMIDI card, so that the piano is never the only client listed.
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import shutil
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402
from harness import ASK_SIZE, DONE_SIZE, MAIN, MAIN_SIZE, OK, UPDATE_BUTTON, YES  # noqa: E402

ARGS = None
PIANO = "Tessaro Digital Piano MIDI 1"
SILENT = "Silent Synth MIDI 1"
INTERRUPTED = "Status: An earlier update was interrupted. Press UPDATE to finish it."
PAIRED = "Paired with input %s and output %s." % (PIANO, PIANO)
# A link slow enough to cut the update in its middle.
SLOW = "timing=1,link=40,latency=0.5,erase_ms=30,program_us=30"


def tool(name):
    return os.path.join(ARGS.build, name)


def region(path, start, length):
    with open(path, "rb") as f:
        f.seek(start)
        return f.read(length)


def sequencer_clients():
    out = subprocess.run(["aconnect", "-l"], capture_output=True, text=True, timeout=30).stdout
    return out


class SystemPiano:
    """An emulated instrument as a client of the system's MIDI; its flash is
    kept in `store`, so it can be unplugged (killed) and plugged in again."""

    def __init__(self, name, store, config=""):
        self.name = name
        self.store = store
        self.config = config
        self.proc = None
        self.plug()

    def plug(self):
        config = "store=" + self.store + ("," + self.config if self.config else "")
        self.proc = subprocess.Popen([tool("virtual-piano"), "--system", self.name, "--config", config],
                                     stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                     text=True)
        line = self.proc.stdout.readline()
        if "as MIDI ports" not in line:
            raise AssertionError("virtual-piano --system did not start: %r" % line)

    def unplug(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGKILL)
            self.proc.wait(10)
        if self.proc is not None:
            self.proc.stdout.close()
        self.proc = None


class Cli:
    """tamarind-cli through the system's MIDI, with its log lines timed from its
    start; with `exe`, the Windows build's, under Wine."""

    def __init__(self, work, exe=None):
        self.work = work
        self.exe = exe

    def run(self, *args, timeout=600):
        if self.exe:
            command = ["wine", self.exe, "--midi", "system", "--work", "Z:" + self.work.replace("/", "\\"),
                       "--log", *args]
        else:
            command = [tool("tamarind-cli"), "--midi", "system", "--work", self.work, "--log", *args]
        start = time.monotonic()
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, text=True, bufsize=1)
        lines = []
        with proc.stdout:
            for line in proc.stdout:
                lines.append((time.monotonic() - start, line.rstrip("\n")))
        code = proc.wait(timeout)
        return code, lines, time.monotonic() - start

    @staticmethod
    def when(lines, text):
        for t, line in lines:
            if text in line:
                return t
        return None


class PianoTestCase(unittest.TestCase):
    """A piano or two on the system's MIDI, a working folder, and the window's helpers."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tamarind-system-midi-")
        self.work = os.path.join(self.tmp, "work")
        os.makedirs(self.work)
        self.flash = os.path.join(self.tmp, "flash.bin")
        self.pianos = []
        self.session = None

    def tearDown(self):
        if self.session is not None:
            self.session.close()
        for piano in self.pianos:
            piano.unplug()

    def piano(self, name=PIANO, store=None, config=""):
        piano = SystemPiano(name, store or self.flash, config)
        self.pianos.append(piano)
        return piano

    def rom(self, *args):
        path = os.path.join(self.tmp, "update.rom")
        subprocess.run([tool("tools/image-tool"), "make", path, *args], check=True, stdout=subprocess.DEVNULL,
                       timeout=60)
        with open(path, "rb") as f:
            return path, f.read()

    def window_session(self, rom_args):
        self.session = harness.Session(ARGS.app, ARGS.artefacts)
        self.session.env["TAMARIND_MIDI"] = "system"
        self.session.work = self.work
        self.session.env["TAMARIND_WORK_DIR"] = self.work
        self.exe = harness.make_program_folder(self.session.tmp, ARGS.app, tool("tools/image-tool"), rom_args)
        self.session.exe = self.exe
        with open(os.path.join(os.path.dirname(self.exe), "update.rom"), "rb") as f:
            self.image = f.read()
        app = self.session.launch()
        self.assertEqual(app.first_line(30), "Test!")
        return app

    def main_window(self):
        found = self.session.window(MAIN, timeout=30)
        self.assertEqual(len(found), 1)
        return found[0]

    def answer(self, title, button):
        found = self.session.window("^" + title.replace("?", r"\?") + "$", timeout=30)
        if not found:
            self.session.screenshot("no-dialog")
        self.assertTrue(found, "no dialog %s; the last lines: %s" % (title, self.session.apps[-1].lines[-15:]))
        size = DONE_SIZE if title == "Update finished!" else ASK_SIZE
        # Under an emulated processor a click can reach a dialog still being
        # set up and be lost: the answer is clicked again while the dialog stays.
        for _ in range(3):
            harness.click_content(self.session, found[0], size, *button)
            if self.dialog_gone(found[0], 10):
                return
        self.session.screenshot("dialog-stays")
        self.fail("the dialog %s stayed after three clicks; the last lines: %s"
                  % (title, self.session.apps[-1].lines[-15:]))

    def dialog_gone(self, window_id, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            shown = self.session.xdotool("search", "--onlyvisible", "--name", ".", check=False).split()
            if window_id not in shown:
                return True
            time.sleep(0.2)
        return False

    def update_with_the_window(self, fill, shot):
        """A piano, the window paired with it, UPDATE and YES, then the flash
        checked: the image written, the data region kept. Returns the seconds
        to pair and to update, and the window's exit code."""
        self.piano()
        data_region = region(self.flash, 0x40000, 0x20000)
        start = time.monotonic()
        app = self.window_session(["--version", "V1.20.00", "--fill", fill])
        self.assertIsNotNone(app.wait_line(PAIRED, 60), app.lines)
        paired = time.monotonic() - start
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 60), app.lines)
        self.session.screenshot(shot, self.main_window())
        self.click_update()
        self.answer("Start update?", YES)
        started = time.monotonic()
        self.assertIsNotNone(app.wait_line("Status: Update OK!", 600), app.lines[-20:])
        took = time.monotonic() - started
        self.answer("Update finished!", OK)
        code = app.proc.wait(60)
        self.assertEqual(region(self.flash, 0, len(self.image)), self.image)
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data_region)
        return paired, took, code

    def click_update(self):
        """Clicks UPDATE until its first question shows: under an emulated
        processor a click can reach a window still busy with its start."""
        for _ in range(3):
            harness.click_content(self.session, self.main_window(), MAIN_SIZE, *UPDATE_BUTTON)
            if self.session.window(r"^(Start update|Continue)\?$", timeout=10):
                return


class SystemMidiTest(PianoTestCase):
    def test_a_pairs_every_time_beside_other_clients(self):
        self.piano()
        # A client that never answers, listed after the piano, as a software synth is.
        self.piano(SILENT, os.path.join(self.tmp, "silent.bin"), "silent_after=0")
        clients = sequencer_clients()
        print("\n" + clients)
        for expected in ("Midi Through", "VirMIDI", PIANO, SILENT):
            self.assertIn(expected, clients)
        cli = Cli(self.work)
        runs = ARGS.pairing_runs
        times = []
        for run in range(runs):
            # The wait of ./run.sh's probe for a piano.
            code, lines, total = cli.run("--wait", "5", "ports")
            paired = cli.when(lines, PAIRED)
            print("pairing run %d: exit %d, paired after %s, %.1f s in all" %
                  (run + 1, code, "%.2f s" % paired if paired is not None else "never", total))
            if paired is not None and code == 0:
                times.append(paired)
            if run == 0:
                text = "\n".join(l for _, l in lines)
                # The ports as the system names them, the piano's among the others.
                for name in ("Midi Through Port-0", PIANO, SILENT):
                    self.assertRegex(text, r"\n  \d+: " + re.escape(name) + r"\n")
                self.assertIn("instrument: " + PIANO, text)
                self.assertIn("flash:      S29GL512_S", text)
        print("Pairing through the sequencer: %d of %d runs paired; time to pair min %.2f s, median %.2f s, "
              "max %.2f s" % (len(times), runs, min(times or [0]), statistics.median(times or [0]),
                              max(times or [0])))
        self.assertEqual(len(times), runs)

    def test_b_update_and_verify_with_the_command_line_tool(self):
        self.piano()
        path, image = self.rom("--version", "V1.10.00", "--fill", "random:11")
        cli = Cli(self.work)
        code, _, _ = cli.run("--wait", "10", "ports")
        self.assertEqual(code, 0)
        data_region = region(self.flash, 0x40000, 0x20000)
        code, lines, total = cli.run("--wait", "10", "--yes", "update", path)
        self.assertEqual(code, 0, [l for _, l in lines[-20:]])
        self.assertIn("Status: Update OK!", [l for _, l in lines])
        code, vlines, vtotal = cli.run("--wait", "10", "verify", path)
        self.assertEqual(code, 0, [l for _, l in vlines[-10:]])
        print("\nSafe update of %d KiB through the sequencer: %.1f s; verify: %.1f s" %
              (len(image) // 1024, total, vtotal))
        self.assertEqual(region(self.flash, 0, len(image)), image)
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data_region)

    def test_c_two_pianos_are_told(self):
        self.piano()
        self.piano("Second Piano MIDI 1", os.path.join(self.tmp, "second.bin"))
        code, lines, _ = Cli(self.work).run("--wait", "10", "ports")
        text = "\n".join(l for _, l in lines)
        self.assertIn("Two or more devices! Please check it!", text)

    def test_d_the_window_updates_through_the_sequencer(self):
        paired, took, code = self.update_with_the_window("random:21", "system-midi-connected")
        print("\nThe window: paired %.1f s after its start; the safe update took %.1f s" % (paired, took))
        self.assertEqual(code, 0)

    def test_e_ports_gone_mid_update_then_back_and_repaired(self):
        piano = self.piano(config=SLOW)
        data_region = region(self.flash, 0x40000, 0x20000)
        app = self.window_session(["--version", "V1.30.00", "--fill", "random:31"])
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 60), app.lines)
        self.click_update()
        self.answer("Start update?", YES)
        # Unplugged once the lock exists and the flash is being rewritten.
        self.assertIsNotNone(app.wait_line("Sending flash driver for \"Sepcial\"", 300), app.lines[-20:])
        self.assertTrue(os.path.exists(os.path.join(self.work, "orv_update.lock")))
        piano.unplug()
        self.assertIsNotNone(app.wait_for(lambda l: l in ("Status: Time out!", "Status: Device is not connected!"),
                                          120), app.lines[-20:])
        lines_before = len(app.lines)
        piano.config = ""
        piano.plug()
        self.assertIsNotNone(app.wait_for(lambda l: l == INTERRUPTED and len(app.lines) > lines_before, 120),
                             app.lines[-20:])
        self.assertIn(PAIRED, app.lines[lines_before:])
        self.click_update()
        if self.session.window(r"^Continue\?$", timeout=5):
            self.answer("Continue?", YES)
        self.answer("Start update?", YES)
        if app.wait_line("Status: Update OK!", 600) is None:
            self.session.screenshot("repair-not-finished")
            self.fail("no \"Update OK!\" after the repair's YES; the last lines: %s" % app.lines[-20:])
        self.answer("Update finished!", OK)
        self.assertEqual(app.proc.wait(30), 0)
        self.assertEqual(region(self.flash, 0, len(self.image)), self.image)
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data_region)
        self.assertFalse(os.path.exists(os.path.join(self.work, "orv_update.lock")))

    def test_f_the_window_warns_of_two_pianos(self):
        self.piano()
        self.piano("Second Piano MIDI 1", os.path.join(self.tmp, "second.bin"))
        app = self.window_session([])
        self.assertIsNotNone(app.wait_line("Two or more devices! Please check it!", 60), app.lines)
        self.assertTrue(self.session.window("^Warning$", timeout=30), "no warning box")


class WindowsThroughWineTest(unittest.TestCase):
    """The Windows build's tamarind-cli.exe under Wine, whose multimedia MIDI
    goes to the ALSA sequencer: the direct identify path, the multimedia
    ports, and a whole update with the read-back."""

    def setUp(self):
        if not ARGS.windows_build:
            self.skipTest("no --windows-build")
        self.tmp = tempfile.mkdtemp(prefix="tamarind-system-midi-wine-")
        self.work = os.path.join(self.tmp, "work")
        os.makedirs(self.work)
        self.flash = os.path.join(self.tmp, "flash.bin")
        self.piano = SystemPiano(PIANO, self.flash)
        self.cli = Cli(self.work, os.path.join(ARGS.windows_build, "tamarind-cli.exe"))

    def tearDown(self):
        self.piano.unplug()

    def test_w_pairs_updates_and_verifies_through_the_multimedia_ports(self):
        code, lines, total = self.cli.run("--wait", "30", "ports")
        text = "\n".join(l for _, l in lines)
        paired = Cli.when(lines, PAIRED)
        print("\nUnder Wine: ports exit %d, paired after %s, %.1f s in all" %
              (code, "%.2f s" % paired if paired is not None else "never", total))
        self.assertIsNotNone(paired, text[-2000:])
        self.assertIn("instrument: " + PIANO, text)
        self.assertIn("flash:      S29GL512_S", text)

        path = os.path.join(self.tmp, "update.rom")
        subprocess.run([tool("tools/image-tool"), "make", path, "--version", "V1.10.00", "--fill", "random:41"],
                       check=True, stdout=subprocess.DEVNULL, timeout=60)
        with open(path, "rb") as f:
            image = f.read()
        data_region = region(self.flash, 0x40000, 0x20000)
        wine_path = "Z:" + path.replace("/", "\\")
        code, lines, total = self.cli.run("--wait", "30", "--yes", "update", wine_path)
        print("Under Wine: update exit %d, %.1f s" % (code, total))
        self.assertIn("Status: Update OK!", [l for _, l in lines], [l for _, l in lines[-20:]])
        self.assertEqual(region(self.flash, 0, len(image)), image)
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data_region)
        code, lines, total = self.cli.run("--wait", "30", "verify", wine_path)
        print("Under Wine: verify exit %d, %.1f s" % (code, total))
        # The exit code is printed, not checked: under Wine 8 in this machine
        # the program faults at its exit once it used the multimedia MIDI,
        # after a complete run (see the README).
        self.assertTrue([l for _, l in lines if l.startswith("match: ")], [l for _, l in lines[-20:]])


class GuestWine:
    """The Wine session that windows-job.sh started in the guest, for the harness."""

    env = {}

    @staticmethod
    def path(unix_path):
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    @staticmethod
    def command(exe, args=()):
        return ["wine", exe, *args]

    def stop(self):
        pass


class GuestSession(harness.Session):
    """A harness session on the guest's display and Wine session."""

    def __init__(self, exe, artefacts, work):
        self.exe = exe
        self.artefacts = artefacts
        os.makedirs(artefacts, exist_ok=True)
        self.tmp = tempfile.mkdtemp(prefix="tamarind-system-midi-window-")
        self.work = work
        self.env = dict(os.environ)
        self.env.update({"TAMARIND_MIDI": "system", "TAMARIND_WORK_DIR": GuestWine.path(work)})
        self.apps = []

    def close(self):
        for app in self.apps:
            app.stop()


class WindowsWindowThroughWineTest(PianoTestCase):
    """Tamarind.exe under Wine, updating through the multimedia ports."""

    def setUp(self):
        if not ARGS.windows_build:
            self.skipTest("no --windows-build")
        super().setUp()
        harness.WINE = GuestWine()

    def tearDown(self):
        super().tearDown()
        harness.WINE = None

    def window_session(self, rom_args):
        self.session = GuestSession(os.path.join(ARGS.windows_build, "app", "Tamarind_artefacts", "RelWithDebInfo", "Tamarind.exe"),
                                    ARGS.artefacts, self.work)
        folder = os.path.join(self.session.tmp, "program")
        os.makedirs(folder)
        self.exe = os.path.join(folder, "Tamarind.exe")
        shutil.copy2(self.session.exe, self.exe)
        subprocess.run([tool("tools/image-tool"), "make", os.path.join(folder, "update.rom"), *rom_args], check=True,
                       stdout=subprocess.DEVNULL, timeout=60)
        self.session.exe = self.exe
        with open(os.path.join(folder, "update.rom"), "rb") as f:
            self.image = f.read()
        app = self.session.launch()
        self.assertEqual(app.first_line(120), "Test!")
        return app

    def test_w_the_window_updates_through_the_multimedia_ports(self):
        paired, took, code = self.update_with_the_window("random:51", "wine-connected")
        print("\nTamarind.exe under Wine: paired %.1f s after its start; the safe update took %.1f s; exit %d" %
              (paired, took, code))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True, help="the native build folder")
    parser.add_argument("--windows-build", help="the Windows build folder: its programs run under Wine")
    parser.add_argument("--artefacts", required=True)
    parser.add_argument("--pairing-runs", type=int, default=10)
    ARGS, rest = parser.parse_known_args()
    ARGS.app = os.path.join(ARGS.build, "app", "Tamarind_artefacts", "RelWithDebInfo", "Tamarind")
    unittest.main(argv=[sys.argv[0], "-v", *rest])
