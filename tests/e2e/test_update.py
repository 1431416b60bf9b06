"""End-to-end: the whole update through the real window, against the virtual
piano, clicked with xdotool and read from standard output."""
import argparse
import os
import re
import signal
import sys
import time
import unittest

import harness

ARGS = None
from harness import ASK_SIZE, DONE_SIZE, MAIN, MAIN_SIZE, NO, OK, UPDATE_BUTTON, YES
INTERRUPTED = "Status: An earlier update was interrupted. Press UPDATE to finish it."
# A slowed link so that a person (or a test) can act during the update.
SLOW = "timing=1,link=150,latency=0.2,erase_ms=20,program_us=20"


def region(path, start, length):
    with open(path, "rb") as f:
        f.seek(start)
        return f.read(length)


class UpdateTest(unittest.TestCase):
    def setUp(self):
        self.s = harness.Session(ARGS.app, ARGS.artefacts)
        self.flash = os.path.join(self.s.tmp, "flash.bin")

    def tearDown(self):
        self.s.close()

    def start(self, rom_args, piano="", exe=None):
        exe = exe or harness.make_program_folder(self.s.tmp, ARGS.app, ARGS.image_tool, rom_args, self.s.env)
        self.exe = exe
        self.s.exe = exe
        config = "store=" + harness.program_path(self.flash) + ("," + piano if piano else "")
        app = self.s.launch(extra_env={"TAMARIND_VIRTUAL_PIANO": config})
        self.assertEqual(app.first_line(15), "Test!")
        return app

    def main_window(self):
        found = self.s.window(MAIN)
        self.assertEqual(len(found), 1)
        return found[0]

    def answer(self, title, button, shot=None):
        found = self.s.window("^" + title.replace("?", r"\?").replace("!", "!") + "$", timeout=15)
        self.assertTrue(found, "no dialog " + title)
        if shot:
            time.sleep(0.3)
            self.s.screenshot(shot, found[0])
        size = DONE_SIZE if title == "Update finished!" else ASK_SIZE
        harness.click_content(self.s, found[0], size, *button)
        return found[0]

    def click_update(self):
        harness.click_content(self.s, self.main_window(), MAIN_SIZE, *UPDATE_BUTTON)

    def rom(self):
        with open(os.path.join(os.path.dirname(self.exe), "update.rom"), "rb") as f:
            return f.read()

    def test_a_safe_update_from_start_to_exit(self):
        app = self.start(["--version", "V1.20.00", "--fill", "random:3"], SLOW)
        window = self.main_window()
        time.sleep(0.7)
        self.s.screenshot("a1-start-screen", window)
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 20), app.lines)
        time.sleep(0.3)
        self.s.screenshot("a2-connected", self.main_window())
        data_region = region(self.flash, 0x40000, 0x20000)
        self.click_update()
        self.answer("Start update?", YES, shot="a3-confirm-dialog")
        self.assertIsNotNone(app.wait_line("Status: Updating....", 10))
        self.assertIsNotNone(app.wait_line("Erasing ...", 20))
        time.sleep(0.5)
        self.s.screenshot("a4-progress", self.main_window())
        self.assertIsNotNone(app.wait_line("Status: Update OK!", 120), app.lines[-20:])
        self.answer("Update finished!", OK, shot="a5-done-dialog")
        self.assertEqual(app.proc.wait(15), 0)
        self.assertEqual(region(self.flash, 0, 0x40000), self.rom())
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data_region)
        self.assertEqual(sum(1 for l in app.lines if l == "OK!"), 2, "both compares passed")
        # The same record, with times, in the log file of the working folder.
        self.assertIn("Log file: ", app.lines[1])
        with open(os.path.join(self.s.work, "Tamarind.log"), encoding="utf-8") as f:
            logged = f.read().splitlines()
        stamp = r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} "
        for line in logged:
            self.assertRegex(line, stamp)
        self.assertEqual([re.sub(stamp, "", l) for l in logged if "Status: " in l],
                         [l for l in app.lines if l.startswith("Status: ")])

    def test_b_plain_update_of_a_larger_image(self):
        app = self.start(["--size", "0x80000", "--fill", "random:4"])
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 20))
        self.click_update()
        self.answer("Start update?", YES)
        self.assertIsNotNone(app.wait_line("Status: Update OK!", 120), app.lines[-20:])
        self.answer("Update finished!", OK)
        self.assertEqual(app.proc.wait(15), 0)
        self.assertEqual(region(self.flash, 0, 0x80000), self.rom())
        self.assertFalse(os.path.exists(os.path.join(self.s.work, "orv_backup.tmp")))

    def test_c_differing_product_names_ask_twice(self):
        app = self.start([], "product=")
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 20))
        before = sorted(os.listdir(self.s.work))
        flash_before = region(self.flash, 0, 0x80000)
        self.click_update()
        self.answer("Continue?", NO, shot="c1-continue-dialog")
        time.sleep(1)
        self.click_update()
        self.answer("Continue?", YES)
        self.answer("Start update?", NO)
        time.sleep(1)
        self.assertEqual(sorted(os.listdir(self.s.work)), before)
        self.assertEqual(region(self.flash, 0, 0x80000), flash_before)
        self.assertNotIn("Status: Updating....", app.lines)

    def test_d_close_is_refused_during_the_update(self):
        app = self.start([], SLOW)
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 20))
        self.click_update()
        self.answer("Start update?", YES)
        self.assertIsNotNone(app.wait_line("Erasing ...", 20))
        window = self.main_window()
        w, h = self.s.geometry(window)
        self.s.xdotool("mousemove", "--window", window, str(w - 14), "13")
        self.s.xdotool("click", "1")
        time.sleep(1)
        self.assertIsNone(app.proc.poll(), "the window closed during the update")
        self.assertEqual(len(self.s.window(MAIN)), 1)
        self.assertIsNotNone(app.wait_line("Status: Update OK!", 120))
        self.answer("Update finished!", OK)
        self.assertEqual(app.proc.wait(15), 0)

    def test_e_killed_update_is_repaired(self):
        app = self.start(["--version", "V1.30.00"], SLOW)
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 20))
        data_region = region(self.flash, 0x40000, 0x20000)
        self.click_update()
        self.answer("Start update?", YES)
        # Killed once the lock exists and the flash is being rewritten.
        self.assertIsNotNone(app.wait_line("Sending flash driver for \"Sepcial\"", 60))
        self.assertTrue(os.path.exists(os.path.join(self.s.work, "orv_update.lock")))
        app.proc.send_signal(signal.SIGKILL)
        app.proc.wait(10)

        second = self.start(None, "", exe=self.exe)
        self.assertIsNotNone(second.wait_line(INTERRUPTED, 30), second.lines)
        self.click_update()
        # The version area was rewritten, so the instrument may report no name.
        if self.s.window(r"^Continue\?$", timeout=3):
            self.answer("Continue?", YES)
        self.answer("Start update?", YES)
        self.assertIsNotNone(second.wait_line("Status: Update OK!", 120), second.lines[-20:])
        self.answer("Update finished!", OK)
        self.assertEqual(second.proc.wait(15), 0)
        self.assertEqual(region(self.flash, 0, 0x40000), self.rom())
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data_region)
        self.assertFalse(os.path.exists(os.path.join(self.s.work, "orv_update.lock")))

    def test_f_lock_without_backup_starts_nothing(self):
        with open(os.path.join(self.s.work, "orv_update.lock"), "w") as f:
            f.write("ORV backup lock!")
        app = self.start([])
        self.assertIsNotNone(app.wait_line(INTERRUPTED, 20))
        flash_before = region(self.flash, 0, 0x80000)
        self.click_update()
        self.answer("Start update?", YES)
        self.assertIsNotNone(app.wait_line("Status: Found an error can't be fixed in the last update.", 10))
        time.sleep(1)
        self.assertEqual(region(self.flash, 0, 0x80000), flash_before)
        self.assertNotIn("Erasing ...", app.lines)

    def test_g_silent_instrument_times_out_and_the_window_closes(self):
        app = self.start([], "silent_on_read=0x40000")
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 20))
        self.click_update()
        self.answer("Start update?", YES)
        self.assertIsNotNone(app.wait_line("Status: Time out!", 60), app.lines[-20:])
        self.assertIsNotNone(app.wait_line("The device has no response.", 5))
        window = self.main_window()
        w, h = self.s.geometry(window)
        self.s.xdotool("mousemove", "--window", window, str(w - 14), "13")
        self.s.xdotool("click", "1")
        self.assertEqual(app.proc.wait(15), 0)

    def memory_kib(self, app, field):
        with open("/proc/%d/status" % app.proc.pid) as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1])
        return 0

    def rss_peak_kib(self, app, seconds):
        """The highest resident size seen over `seconds`, sampled every 100 ms."""
        peak = 0
        end = time.monotonic() + seconds
        while time.monotonic() < end:
            with open("/proc/%d/status" % app.proc.pid) as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        peak = max(peak, int(line.split()[1]))
            time.sleep(0.1)
        return peak

    def test_h_a_flooding_instrument_changes_nothing_and_costs_no_memory(self):
        # The idle figure: connected, nothing happening.
        app = self.start([])
        self.assertIsNotNone(app.wait_line("Status: Piano connected.", 20))
        idle = self.rss_peak_kib(app, 3)
        app.stop()

        # Every identify request answered 20,000 times during the scans, and
        # from the version read on a status nobody asked for every millisecond.
        flood = self.start([], "identify_flood=20000,stray_status_every=1,stray_status_after=14")
        self.assertIsNotNone(flood.wait_line("Status: Piano connected.", 30), flood.lines[-20:])
        peak = self.rss_peak_kib(flood, 15)
        print("\nResident memory: idle peak %.1f MiB; under an identify flood, then 1000 stray statuses/s "
              "for 15 s, peak %.1f MiB" % (idle / 1024, peak / 1024))
        self.s.screenshot("h1-flooded", self.main_window())
        self.assertLess(peak - idle, 4 * 1024, "memory grew under the flood")
        self.assertEqual([l for l in flood.lines if l.startswith("Status:")],
                         ["Status: Piano connected."])
        # A few lines per job at most (the first stray and a count at its end,
        # across the version read, its confirmation and the idle link), never
        # one per stray: how the thousands fall across jobs depends on timing.
        self.assertLessEqual(len([l for l in flood.lines if l.startswith("Ignored")]), 8, flood.lines)
        # The window still answers: it closes at once.
        window = self.main_window()
        w, h = self.s.geometry(window)
        self.s.xdotool("mousemove", "--window", window, str(w - 14), "13")
        self.s.xdotool("click", "1")
        self.assertEqual(flood.proc.wait(15), 0)

    def test_i_keys_reach_no_hidden_control(self):
        # A refused image, then Tab, Return and Space over and over: only HELP
        # may act (it logs, there being no Help.pdf); no file dialog, call-out
        # box or menu of a hidden control opens, and nothing is written.
        exe = harness.make_program_folder(self.s.tmp, ARGS.app, ARGS.image_tool, ["--no-signature"])
        os.remove(os.path.join(os.path.dirname(exe), "Help.pdf"))
        app = self.start(None, exe=exe)
        self.assertIsNotNone(app.wait_line("Status: The update file is modified!", 20), app.lines)
        window = self.main_window()
        flash_before = region(self.flash, 0, 0x80000)
        windows_before = self.s.xdotool("search", "--onlyvisible", "--name", "", check=False).split()
        app.wait_for(lambda l: False, 0.5)
        lines_before = len(app.lines)
        harness.click_content(self.s, window, MAIN_SIZE, 300, 60)
        for _ in range(12):
            for key in ("Tab", "Return", "space"):
                self.s.xdotool("key", "--window", window, key)
                time.sleep(0.1)
        time.sleep(1)
        self.s.screenshot("i1-after-keys", window)
        self.assertEqual(self.s.xdotool("search", "--onlyvisible", "--name", "", check=False).split(),
                         windows_before)
        app.wait_for(lambda l: False, 0.5)
        new_lines = app.lines[lines_before:]
        help_path = harness.program_path(os.path.join(os.path.dirname(exe), "Help.pdf"))
        self.assertIn("Can't open the help file.", new_lines, "no key reached the window")
        self.assertLessEqual(set(new_lines), {"Can't find " + help_path, "Can't open the help file."}, new_lines)
        self.assertIsNone(app.proc.poll())
        self.assertEqual(region(self.flash, 0, 0x80000), flash_before)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--image-tool", required=True)
    parser.add_argument("--artefacts", required=True)
    parser.add_argument("--wine", action="store_true", help="the programs are the Windows build")
    ARGS, rest = parser.parse_known_args()
    if ARGS.wine:
        harness.use_wine()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
