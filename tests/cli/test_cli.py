"""End-to-end: tamarind-cli against the in-process virtual piano and against a
virtual-piano process over TCP. No display is needed.

Each test has its own working folder, flash file and (for TCP) port."""
import argparse
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

ARGS = None
# A slowed link, so that an update can be cut off in the middle of each kind of job.
SLOW = "timing=1,link=400,latency=0.1,erase_ms=10,program_us=10"


def region(path, start, length):
    with open(path, "rb") as f:
        f.seek(start)
        return f.read(length)


class CliTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tamarind-cli-")
        self.work = os.path.join(self.tmp, "work")
        os.makedirs(self.work)
        self.flash = os.path.join(self.tmp, "flash.bin")
        self.env = dict(os.environ)
        self.env.pop("TAMARIND_MIDI", None)
        self.env["TAMARIND_WORK_DIR"] = self.work
        self.servers = []

    def tearDown(self):
        for server in self.servers:
            server.terminate()
            server.wait(10)
            server.stdout.close()
        shutil.rmtree(self.tmp, ignore_errors=True)

    def image(self, name="update.rom", *args):
        path = os.path.join(self.tmp, name)
        subprocess.run([ARGS.image_tool, "make", path, *args], check=True, stdout=subprocess.DEVNULL, timeout=60)
        return path

    def cli(self, *args, piano="", midi="virtual", timeout=120):
        env = dict(self.env)
        env["TAMARIND_VIRTUAL_PIANO"] = "store=" + self.flash + ("," + piano if piano else "")
        return subprocess.run([ARGS.cli, "--midi", midi, "--wait", "10", *args], env=env, capture_output=True,
                              text=True, timeout=timeout, stdin=subprocess.DEVNULL)

    def start_cli(self, *args, piano=""):
        env = dict(self.env)
        env["TAMARIND_VIRTUAL_PIANO"] = "store=" + self.flash + ("," + piano if piano else "")
        return subprocess.Popen([ARGS.cli, "--midi", "virtual", "--log", *args], env=env, text=True,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL)

    def factory(self):
        """The flash as the instrument leaves the factory (the first run writes it)."""
        self.assertEqual(self.cli("ports").returncode, 0)
        return region(self.flash, 0, 0x80000)

    def test_ports_info_and_usage(self):
        ports = self.cli("ports")
        self.assertEqual(ports.returncode, 0, ports.stderr)
        self.assertIn("instrument: Virtual Piano (full speed)", ports.stdout)
        self.assertIn("flash:      S29GL512_S", ports.stdout)
        self.assertIn("version:    V1.00.00", ports.stdout)
        self.assertIn("product:    Tessaro", ports.stdout)

        good = self.image("good.rom", "--version", "V2.10.00")
        info = self.cli("info", good)
        self.assertEqual(info.returncode, 0)
        self.assertIn("version:  V2.10.00", info.stdout)
        self.assertRegex(info.stdout, r"md5:      [0-9a-f]{32}")
        self.assertEqual(self.cli("info", self.image("bad.rom", "--no-signature")).returncode, 1)
        self.assertEqual(self.cli("info", self.image("noversion.rom", "--no-version")).returncode, 4)
        self.assertEqual(self.cli("info", os.path.join(self.tmp, "none.rom")).returncode, 3)
        fifo = os.path.join(self.tmp, "fifo.rom")
        os.mkfifo(fifo)
        refused = self.cli("info", fifo, timeout=20)
        self.assertEqual(refused.returncode, 3)
        self.assertIn("refused:  a FIFO", refused.stdout)

        # One argument ending in ".rom" is "update FILE.rom": checked and
        # allowed, then answered NO (nobody to ask). A name that is no file
        # is a wrong command line.
        named = self.cli("--log", good)
        self.assertEqual(named.returncode, 5, named.stderr)
        self.assertIn("File version:V2.10.00\n", named.stderr)
        self.assertEqual(self.cli(os.path.join(self.tmp, "none.rom")).returncode, 2)
        self.assertEqual(self.cli(fifo).returncode, 2)

        self.assertEqual(self.cli("frobnicate").returncode, 2)
        # The image tool takes no option for the file it writes or reads.
        for words in (["make", "--help"], ["make", "--version", "V1.00.00"], ["info", "--device-product"]):
            run = subprocess.run([ARGS.image_tool, *words], cwd=self.tmp, capture_output=True, timeout=60)
            self.assertEqual(run.returncode, 2, words)
        self.assertFalse([n for n in os.listdir(self.tmp) if n.startswith("-")])
        self.assertEqual(self.cli("read", "0x40000").returncode, 2)
        self.assertEqual(self.cli("read", "-5", "16", "x").returncode, 2)
        self.assertEqual(self.cli("--bogus", "ports").returncode, 2)
        helped = subprocess.run([ARGS.cli, "--help"], capture_output=True, text=True, timeout=30)
        self.assertEqual(helped.returncode, 0)
        self.assertIn("exit codes:", helped.stdout)
        # Nobody answers: no instrument.
        nobody = self.cli("ports", midi="tcp:127.0.0.1:1")
        self.assertEqual(nobody.returncode, 3)
        self.assertIn("instrument: none", nobody.stdout)

    def test_update_read_and_verify(self):
        data = self.factory()[0x40000:0x60000]
        rom = self.image("update.rom", "--version", "V1.50.00", "--fill", "random:41")
        # Without --yes and without a terminal nobody can answer: nothing is written.
        declined = self.cli("update", rom)
        self.assertEqual(declined.returncode, 5, declined.stderr)
        done = self.cli("--yes", "update", rom)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn("Status: Update OK!", done.stderr)
        with open(rom, "rb") as f:
            image = f.read()
        self.assertEqual(region(self.flash, 0, 0x40000), image)
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data)

        out = os.path.join(self.tmp, "read.bin")
        read = self.cli("read", "0x40000", "0x3000", out)
        self.assertEqual(read.returncode, 0, read.stderr)
        self.assertEqual(region(out, 0, 0x3000), data[:0x3000])
        self.assertEqual(self.cli("verify", rom).returncode, 0)
        other = self.image("other.rom", "--version", "V1.50.01", "--fill", "random:41")
        verify = self.cli("verify", other)
        self.assertEqual(verify.returncode, 1)
        self.assertIn("The data read from flash is not correct.", verify.stderr)
        # A refused image is not written.
        refused = self.cli("--yes", "update", self.image("refused.rom", "--product", "Allegro"))
        self.assertEqual(refused.returncode, 4)
        self.assertEqual(region(self.flash, 0, 0x40000), image)

    def test_two_programs_on_one_working_folder(self):
        data = self.factory()[0x40000:0x60000]
        rom = self.image("update.rom", "--version", "V1.55.00", "--fill", "random:42")
        first = self.start_cli("--yes", "update", rom, piano=SLOW)
        # Once the first one updates, a second program on another piano refuses
        # before it sends anything; with a working folder of its own it may go on.
        for line in first.stderr:
            if "Status: Updating...." in line:
                break
        second_flash = os.path.join(self.tmp, "second.bin")
        env = dict(self.env)
        env["TAMARIND_VIRTUAL_PIANO"] = "store=" + second_flash
        second = [ARGS.cli, "--midi", "virtual", "--wait", "10", "--yes", "update", rom]
        busy = subprocess.run(second, env=env, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
        self.assertEqual(busy.returncode, 6, busy.stderr)
        self.assertIn("another update is running from the same working folder", busy.stderr)
        self.assertFalse(os.path.exists(second_flash), "the second piano was reached")
        other_work = os.path.join(self.tmp, "work-2")
        os.makedirs(other_work)
        own = subprocess.run(second[:1] + ["--work", other_work] + second[1:], env=env, capture_output=True,
                             text=True, timeout=120, stdin=subprocess.DEVNULL)
        self.assertEqual(own.returncode, 0, own.stderr)
        rest = first.stderr.read()
        first.stderr.close()
        self.assertEqual(first.wait(120), 0, rest[-2000:])
        with open(rom, "rb") as f:
            image = f.read()
        for flash in (self.flash, second_flash):
            self.assertEqual(region(flash, 0, 0x40000), image)
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data)

    def test_two_pianos_need_a_chosen_port(self):
        second = self.flash + ".1"  # the second instrument's flash
        factory = self.factory()
        rom = self.image("update.rom", "--version", "V1.70.00", "--fill", "random:44")
        # Both answer and none was chosen: nothing is written to either.
        both = self.cli("--yes", "update", rom, piano="instruments=2")
        self.assertEqual(both.returncode, 7, both.stderr)
        self.assertIn("more than one instrument answered; choose one with --port", both.stderr)
        self.assertEqual(region(self.flash, 0, 0x80000), factory)
        self.assertTrue(not os.path.exists(second) or region(second, 0, 0x80000) == factory)
        listed = self.cli("ports", piano="instruments=2")
        self.assertEqual(listed.returncode, 7, listed.stderr)
        self.assertIn("1: Virtual Piano 2", listed.stdout)
        # Chosen by name, and by number: only that one is paired and written.
        chosen = self.cli("--yes", "--port", "Virtual Piano 2", "update", rom, piano="instruments=2")
        self.assertEqual(chosen.returncode, 0, chosen.stderr)
        with open(rom, "rb") as f:
            image = f.read()
        self.assertEqual(region(second, 0, 0x40000), image)
        self.assertEqual(region(self.flash, 0, 0x80000), factory)
        first = self.cli("--port", "0", "ports", piano="instruments=2")
        self.assertEqual(first.returncode, 0, first.stderr)
        self.assertIn("instrument: Virtual Piano (full speed)", first.stdout)
        self.assertIn("version:    V1.00.00", first.stdout)
        # A port that is not there is said at once.
        missing = self.cli("--port", "Nothing Here", "ports")
        self.assertEqual(missing.returncode, 3, missing.stderr)
        self.assertIn('no output port "Nothing Here"', missing.stderr)
        self.assertEqual(self.cli("--port", "ports").returncode, 2)

    def test_update_over_tcp(self):
        server = subprocess.Popen([ARGS.virtual_piano, "--listen", "0", "--config", "store=" + self.flash],
                                  stdout=subprocess.PIPE, text=True)
        self.servers.append(server)
        port = re.search(r":(\d+)$", server.stdout.readline().strip()).group(1)
        data = region(self.flash, 0x40000, 0x20000)
        rom = self.image("update.rom", "--version", "V1.60.00", "--fill", "random:43")
        done = self.cli("--yes", "update", rom, midi="tcp:127.0.0.1:" + port)
        self.assertEqual(done.returncode, 0, done.stderr)
        with open(rom, "rb") as f:
            self.assertEqual(region(self.flash, 0, 0x40000), f.read())
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data)

    def test_update_killed_in_each_kind_of_job_is_repaired(self):
        data = self.factory()[0x40000:0x60000]
        rom = self.image("update.rom", "--version", "V1.70.00", "--fill", "random:45")
        with open(rom, "rb") as f:
            image = f.read()
        # Where the cut comes: the log line that starts the job, and how many of them to let pass.
        cuts = [("Sending flash driver", 1), ("Reading...", 1), ("Erasing ...", 1), ("Erase finished", 1),
                ("Testing flash \"Save_IO_Sta\"", 1), ("Program finished", 3), ("Reading...", 2),
                ("Start comparing...", 1)]
        if ARGS.few_cuts:
            cuts = cuts[2:3] + cuts[-1:]
        for line, count in cuts:
            with self.subTest(cut=line, count=count):
                proc = self.start_cli("--yes", "update", rom, piano=SLOW)
                seen = 0
                for text in proc.stderr:
                    if line in text:
                        seen += 1
                        if seen == count:
                            time.sleep(0.05)
                            proc.send_signal(signal.SIGKILL)
                            break
                proc.wait(30)
                proc.stderr.close()
                self.assertEqual(seen, count, "never reached " + line)
                again = self.cli("--yes", "update", rom, piano=SLOW, timeout=300)
                self.assertEqual(again.returncode, 0, again.stderr[-2000:])
                self.assertEqual(region(self.flash, 0, 0x40000), image)
                self.assertEqual(region(self.flash, 0x40000, 0x20000), data)
                self.assertFalse(os.path.exists(os.path.join(self.work, "orv_update.lock")))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--image-tool", required=True)
    parser.add_argument("--virtual-piano", required=True)
    parser.add_argument("--few-cuts", action="store_true",
                        help="kill only in two jobs (the slow sanitizer builds; the matrices cut everywhere)")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
