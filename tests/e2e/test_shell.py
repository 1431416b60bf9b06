"""End-to-end: start-up, pairing with the virtual piano, single instance."""
import argparse
import os
import sys
import time
import unittest

import harness

ARGS = None
TITLE = harness.MAIN


class ShellTest(unittest.TestCase):
    def setUp(self):
        self.session = harness.Session(ARGS.app, ARGS.artefacts)

    def tearDown(self):
        self.session.close()

    def test_starts_pairs_and_keeps_a_single_instance(self):
        s = self.session
        app = s.launch()
        self.assertEqual(app.first_line(15), "Test!")
        started = time.monotonic()
        self.assertIsNotNone(app.wait_line("Device Connected! Test MCU/Flash type.", 5),
                             "no pairing logged: %r" % app.lines)
        print("pairing logged %.2f s after the first line" % (time.monotonic() - started))

        windows = s.window(TITLE)
        self.assertEqual(len(windows), 1)
        # A framework-drawn frame: 1-pixel border and a 26-pixel title bar
        # around 572 x 284 of content.
        self.assertEqual(s.geometry(windows[0]), (574, 312))
        s.screenshot("shell-start", windows[0])
        # The desktop shows the program's icon for the window (under Wine
        # too, which hands it on to X11): 64 x 64, its tile opaque in the
        # middle, the corner outside the rounded tile clear.
        icon = s.window_icon(windows[0])
        self.assertIsNotNone(icon, "no _NET_WM_ICON")
        self.assertEqual((icon[0], icon[1], len(icon)), (64, 64, 2 + 64 * 64))
        self.assertEqual(icon[2 + 32 * 64 + 32] >> 24, 0xFF)
        self.assertEqual(icon[2] >> 24, 0)

        # A second launch hands its command line over and opens no window.
        second = s.launch(["studio", "preset"])
        self.assertEqual(second.proc.wait(15), 0)
        self.assertIsNotNone(app.wait_line("Something error... Can't load preset.", 5))
        self.assertEqual(len(s.window(TITLE)), 1)

        # The reserved automatic preset name is not an error; an empty command
        # line does nothing at all.
        self.assertIsNotNone(app.wait_for(lambda l: l.startswith("Status:"), 15), app.lines)
        count = len(app.lines)
        for args in (["******AutoSave******"], []):
            extra = s.launch(args)
            self.assertEqual(extra.proc.wait(15), 0)
        time.sleep(0.5)
        app.wait_for(lambda l: False, 0.2)
        self.assertEqual(app.lines[count:], [])
        self.assertEqual(len(s.window(TITLE)), 1)
        self.assertIsNone(app.proc.poll())

    def test_an_update_file_named_on_the_command_line(self):
        s = self.session
        import subprocess
        rom = os.path.join(s.tmp, "V1.10.00.rom")
        harness.run_tool(ARGS.image_tool, ["make", harness.program_path(rom), "--version", "V1.10.00"], env=s.env,
                         check=True, stdout=subprocess.DEVNULL, timeout=60)
        # Not update.rom beside the program: the file named.
        app = s.launch([harness.program_path(rom)])
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 30), app.lines)
        self.assertIn("File version:V1.10.00", app.lines)

        # A later launch with an update file: the window keeps its own and
        # says so.
        note = "The update file %s was not taken: this window keeps its own. " \
               "Close Tamarind and start it with that file." % harness.program_path(rom)
        if harness.WINE:
            # The framework hands the command line over and ends the launch.
            later = s.launch([harness.program_path(rom)])
            later.proc.wait(60)
        else:
            # The launch fails, and says why.
            later = subprocess.run([ARGS.app, rom], env=s.env, capture_output=True, text=True, timeout=30)
            self.assertEqual(later.returncode, 1)
            self.assertEqual(later.stderr,
                             "Tamarind: already running; it keeps its update file (close it to use %s)\n" % rom)
        self.assertIsNotNone(app.wait_line(note, 20), app.lines)
        self.assertEqual(sum(1 for l in app.lines if l.startswith("File version:")), 1)
        self.assertIsNone(app.proc.poll())
        if harness.WINE:
            return

        # A name ending in ".rom" that is no file is refused before any window.
        missing = os.path.join(s.tmp, "missing.rom")
        refused = subprocess.run([ARGS.app, missing], env=s.env, capture_output=True, text=True, timeout=30)
        self.assertEqual((refused.returncode, refused.stdout), (2, ""))
        self.assertEqual(refused.stderr, "Tamarind: no update file %s\n" % missing)

    def test_two_instance_names_run_side_by_side(self):
        # Only the per-user instance name decides: no machine-wide lock keeps
        # a launch with another name from opening its window.
        if harness.WINE:
            self.skipTest("the instance name is the Linux layer's; on Windows the framework keeps one instance")
        s = self.session
        first = s.launch()
        self.assertEqual(first.first_line(15), "Test!")
        second = s.launch(extra_env={"TAMARIND_INSTANCE_NAME": s.env["TAMARIND_INSTANCE_NAME"] + "-other"})
        self.assertEqual(second.first_line(15), "Test!")
        end = time.monotonic() + 10
        while len(s.window(TITLE)) < 2 and time.monotonic() < end:
            time.sleep(0.1)
        self.assertEqual(len(s.window(TITLE)), 2)
        self.assertIsNone(first.proc.poll())
        self.assertIsNone(second.proc.poll())

    def test_options_are_answered_before_any_window(self):
        import subprocess
        if harness.WINE:
            self.skipTest("run directly: the Windows program is tested for these by its unit tests")
        env = dict(self.session.env)
        env.pop("DISPLAY")  # none of these may need one
        run = lambda *args: subprocess.run([ARGS.app, *args], env=env, capture_output=True, text=True, timeout=30)
        usage = run("--help")
        self.assertEqual((usage.returncode, usage.stderr), (0, ""))
        self.assertIn("usage: Tamarind", usage.stdout)
        version = run("--version")
        self.assertEqual(version.returncode, 0)
        self.assertRegex(version.stdout, r"^Tamarind \S+\n$")
        for wrong in (["--frobnicate"], ["--help", "--frobnicate"]):
            bad = run(*wrong)
            self.assertEqual((bad.returncode, bad.stdout), (2, ""), wrong)
            self.assertIn("usage: Tamarind", bad.stderr)
        self.assertEqual(os.listdir(self.session.work) if os.path.isdir(self.session.work) else [], [])

    def test_no_display_is_a_clear_error(self):
        import subprocess
        if harness.WINE:
            self.skipTest("X11 displays are the Linux program's; Wine brings its own window driver")
        for display in (None, ":65000"):
            env = dict(self.session.env)
            env.pop("DISPLAY")
            if display:
                env["DISPLAY"] = display
            run = subprocess.run([ARGS.app], env=env, capture_output=True, text=True, timeout=30)
            self.assertEqual(run.returncode, 1, display)
            self.assertEqual(run.stderr,
                             "Tamarind needs a graphical display (DISPLAY is not set or cannot be opened).\n")
            self.assertEqual(run.stdout, "")

    def test_pairs_with_a_virtual_piano_program_over_tcp(self):
        s = self.session
        import socket
        import subprocess
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            port = probe.getsockname()[1]
        flash = os.path.join(s.tmp, "tcp-flash.bin")

        def start_piano():
            piano = harness.start_tool(ARGS.virtual_piano,
                                       ["--listen", str(port), "--config", "flash=S29GL256_S,store=" +
                                        harness.program_path(flash)], s.env, stdout=subprocess.PIPE, text=True)
            self.assertIn("listening", piano.stdout.readline())
            return piano

        def stop_piano(piano):
            piano.kill()
            piano.wait(10)
            piano.stdout.close()

        piano = start_piano()
        try:
            app = s.launch(extra_env={"TAMARIND_MIDI": "tcp:127.0.0.1:%d" % port})
            self.assertIsNotNone(app.wait_line("Select MCU: ORV828, flash: S29GL256_S", 20), app.lines)
            self.assertIsNotNone(app.wait_line("Status: ", 20))
            # The piano's program dies: the link notices, says so and keeps looking
            # quietly; the same piano started again is paired again by itself.
            stop_piano(piano)
            piano = None
            self.assertIsNotNone(app.wait_line("Status: Device is not connected!", 10), app.lines[-10:])
            time.sleep(1)
            piano = start_piano()
            paired = lambda: [l for l in app.lines if l.startswith("Paired with input")]
            self.assertIsNotNone(app.wait_for(lambda l: len(paired()) == 2, 15), app.lines[-10:])
            self.assertIsNotNone(app.wait_for(
                lambda l: app.lines.count("Select MCU: ORV828, flash: S29GL256_S") == 2, 15), app.lines[-10:])
        finally:
            if piano is not None:
                stop_piano(piano)

    def test_no_instrument_ends_scanning_quietly(self):
        s = self.session
        app = s.launch(extra_env={"TAMARIND_MIDI": "tcp:127.0.0.1:9"})
        self.assertEqual(app.first_line(15), "Test!")
        # Nothing answers: the program keeps scanning and stays responsive.
        self.assertEqual(len(s.window(TITLE)), 1)
        self.assertIsNone(app.wait_line("Device Connected!", 3))
        self.assertIsNone(app.proc.poll())


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--artefacts", required=True)
    parser.add_argument("--virtual-piano", required=True)
    parser.add_argument("--image-tool", required=True)
    parser.add_argument("--wine", action="store_true", help="the programs are the Windows build")
    ARGS, rest = parser.parse_known_args()
    if ARGS.wine:
        harness.use_wine()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
