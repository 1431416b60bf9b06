"""End-to-end: tamarind-cli against the in-process virtual piano and against a
virtual-piano process over TCP. No display is needed.

Each test has its own working folder, flash file and (for TCP) port."""
import argparse
import hashlib
import json
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
        self.assertIn("result:   0 (the image passes every check)", info.stdout)
        self.assertRegex(info.stdout, r"md5:      [0-9a-f]{32}")
        fifo = os.path.join(self.tmp, "fifo.rom")
        os.mkfifo(fifo)
        # Every image the check refuses is exit 4, its own result in the output.
        for path, result in ((self.image("bad.rom", "--no-signature"), "result:   1 "),
                             (self.image("noversion.rom", "--no-version"), "result:   4 "),
                             (os.path.join(self.tmp, "none.rom"), "result:   3 "),
                             (fifo, "refused:  a FIFO")):
            with self.subTest(path=path):
                refused = self.cli("info", path, timeout=20)
                self.assertEqual(refused.returncode, 4, refused.stdout)
                self.assertIn(result, refused.stdout)

        # One argument ending in ".rom" is "update FILE.rom": checked and
        # allowed, then answered NO (nobody to ask). A name that is no file
        # is a wrong command line.
        named = self.cli("--log", good)
        self.assertEqual(named.returncode, 5, named.stderr)
        self.assertRegex(named.stderr, r"\n\d\d:\d\d:\d\d\.\d{3} File version:V2\.10\.00\n")
        self.assertIn("(V1.00.00 \u2192 V2.10.00) no: nobody to ask", named.stderr)
        # The command line's own log, with time stamps as the window's.
        with open(os.path.join(self.work, "Tamarind.log"), encoding="utf-8") as f:
            self.assertRegex(f.read(), r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} File version:V2\.10\.00")
        self.assertEqual(self.cli(os.path.join(self.tmp, "none.rom")).returncode, 2)
        self.assertEqual(self.cli(fifo).returncode, 2)

        # The image tool takes no option for the file it writes or reads.
        for words in (["make", "--help"], ["make", "--version", "V1.00.00"], ["info", "--device-product"]):
            run = subprocess.run([ARGS.image_tool, *words], cwd=self.tmp, capture_output=True, timeout=60)
            self.assertEqual(run.returncode, 2, words)
        self.assertFalse([n for n in os.listdir(self.tmp) if n.startswith("-")])
        helped = subprocess.run([ARGS.cli, "--help"], capture_output=True, text=True, timeout=30)
        self.assertEqual(helped.returncode, 0)
        self.assertIn("exit codes:", helped.stdout)
        for command in ("ports", "info FILE", "update [FILE]", "read ADDRESS LENGTH OUT", "verify FILE [ADDRESS]",
                        "history", "--allow-older", "--json", "--quiet", "--force"):
            self.assertIn(command, helped.stdout)
        # The manual page names every command and option the help lists.
        page = os.path.join(os.path.dirname(ARGS.cli), "man", "tamarind-cli.1")
        if os.path.exists(page):
            with open(page, encoding="utf-8") as f:
                roff = f.read().replace("\\-", "-")
            for word in re.findall(r"^  (?:-\w, )?(--?[\w-]+|[a-z]+)\b", helped.stdout, re.M):
                self.assertIn(word, roff)
            for code in re.findall(r"^  (\d)  ", helped.stdout, re.M):
                self.assertIn("\n.B %s\n" % code, roff)
        for words in (["-V"], ["--version"]):
            self.assertRegex(subprocess.run([ARGS.cli, *words], capture_output=True, text=True,
                                            timeout=30).stdout, r"^tamarind-cli \d+\.\d+\.\d+\n$")
        # Nobody answers: no instrument.
        nobody = self.cli("ports", midi="tcp:127.0.0.1:1")
        self.assertEqual(nobody.returncode, 3)
        self.assertIn("instrument: none", nobody.stdout)
        # Without an image to look at, nothing is said about one.
        self.assertNotIn("update file", self.cli("ports").stderr)

    def test_wrong_command_lines_send_nothing(self):
        # Each is refused at once with exit 2 and one line saying what is
        # wrong: no instrument is reached (the flash file stays unmade) and
        # no file is written.
        out = os.path.join(self.tmp, "out.bin")
        cases = [
            (["read", "0", "-1", out], "LENGTH: \"-1\" is not a number"),
            (["read", "-1", "16", out], "ADDRESS: \"-1\" is not a number"),
            (["read", "0x", "16", out], "ADDRESS: \"0x\" is not a number"),
            (["read", "12abc", "16", out], "ADDRESS: \"12abc\" is not a number"),
            (["read", "0", "99999999999999999999", out], "LENGTH: 99999999999999999999 is too large"),
            (["read", "0", "0", out], "LENGTH: 0 bytes is nothing to read"),
            (["read", "0", "0xFFFFFFFFFFFF", out], "goes past the end of the largest flash"),
            (["read", "0x40000"], "usage: tamarind-cli [OPTIONS] read ADDRESS LENGTH OUT"),
            (["read", "0", "16", os.path.join(self.tmp, "no-folder", "x")], "its folder does not exist"),
            (["read", "0", "16", self.tmp], "is a folder"),
            (["--wait", "-1", "ports"], "--wait: \"-1\" is not a number"),
            (["--wait", "100000", "ports"], "--wait: at most 86400 seconds"),
            (["--wait"], "--wait takes SECONDS"),
            (["-10"], "unknown command -10"),
            (["-1h"], "unknown command -1h"),
            (["--bogus", "ports"], "unknown option --bogus"),
            (["--yes=1", "ports"], "--yes takes no value"),
            (["frobnicate"], "unknown command frobnicate"),
            ([], "no command"),
            (["--port", "", "ports"], "--port takes an output's name or number"),
            (["--midi", "bogus", "ports"], "--midi: \"bogus\" is no port source"),
            (["--midi", "tcp:", "ports"], "--midi: \"tcp:\" is no tcp:HOST:PORT"),
            (["--midi", "tcp:host:99999", "ports"], "is no tcp:HOST:PORT"),
            (["--midi", "tcp:host:x1", "ports"], "is no tcp:HOST:PORT"),
            (["--midi", ",,,", "ports"], "--midi: the list of port sources is empty"),
            (["verify", os.path.join(self.tmp, "none.rom")], "does not exist"),
            (["verify", out, "-5"], "ADDRESS: \"-5\" is not a number"),
            (["update", os.path.join(self.tmp, "none.rom")], "does not exist"),
            (["--work", os.path.join(self.tmp, "file"), "ports"], "is a regular file"),
        ]
        with open(os.path.join(self.tmp, "file"), "w") as f:
            f.write("x")
        for words, message in cases:
            with self.subTest(words=words):
                run = subprocess.run([ARGS.cli, "--midi", "virtual", *words] if "--midi" not in words else
                                     [ARGS.cli, *words], env=dict(self.env, TAMARIND_VIRTUAL_PIANO="store=" + self.flash),
                                     capture_output=True, text=True, timeout=30, stdin=subprocess.DEVNULL)
                self.assertEqual(run.returncode, 2, run.stderr)
                self.assertTrue(run.stderr.startswith("tamarind-cli: "), run.stderr)
                self.assertIn(message, run.stderr)
                self.assertTrue(run.stderr.endswith("Try 'tamarind-cli --help' for more.\n"), run.stderr)
                self.assertLessEqual(len(run.stderr.splitlines()), 2, run.stderr)
                self.assertEqual(run.stdout, "")
                self.assertFalse(os.path.exists(self.flash), "the instrument was reached")
                self.assertFalse(os.path.exists(out))
        # TAMARIND_MIDI is checked as --midi is.
        env = dict(self.env, TAMARIND_MIDI="tcp:nowhere")
        run = subprocess.run([ARGS.cli, "ports"], env=env, capture_output=True, text=True, timeout=30)
        self.assertEqual(run.returncode, 2)
        self.assertIn("TAMARIND_MIDI: \"tcp:nowhere\" is no tcp:HOST:PORT", run.stderr)
        # A relative working folder is the current folder's; a missing one is made, 0700.
        run = subprocess.run([ARGS.cli, "--midi", "virtual", "--wait", "10", "--work", "relwork", "ports"],
                             env=dict(self.env, TAMARIND_VIRTUAL_PIANO="store=" + self.flash), cwd=self.tmp,
                             capture_output=True, text=True, timeout=60)
        self.assertEqual(run.returncode, 0, run.stderr)
        made = os.path.join(self.tmp, "relwork")
        self.assertEqual(os.stat(made).st_mode & 0o777, 0o700)
        self.assertTrue(os.path.exists(os.path.join(made, "Tamarind.log")))

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
        self.assertRegex(read.stdout, r"^read 12288 bytes, 0x40000 to 0x42FFF, into .*read\.bin, md5 "
                         + hashlib.md5(data[:0x3000]).hexdigest() + "\n$")
        self.assertNotIn("update file", read.stderr)
        verified = self.cli("verify", rom)
        self.assertEqual(verified.returncode, 0, verified.stderr)
        self.assertIn("match: 262144 bytes of", verified.stdout)
        other = self.image("other.rom", "--version", "V1.50.01", "--fill", "random:41")
        verify = self.cli("verify", other)
        self.assertEqual(verify.returncode, 1)
        first = next(i for i in range(0x40000) if image[i] != region(other, i, 1)[0])
        self.assertIn("differs: the first differing byte is at flash address 0x%X" % first, verify.stderr)
        # A refused image is not written.
        refused = self.cli("--yes", "update", self.image("refused.rom", "--product", "Allegro"))
        self.assertEqual(refused.returncode, 4)
        self.assertEqual(region(self.flash, 0, 0x40000), image)

    def test_read_and_verify_keep_files_safe(self):
        flash = self.factory()
        with open(self.flash, "rb") as f:
            size = len(f.read())
        out = os.path.join(self.tmp, "kept.rom")
        with open(out, "wb") as f:
            f.write(b"keep me" * 100)

        def unchanged():
            with open(out, "rb") as f:
                return f.read() == b"keep me" * 100

        # An existing OUT is refused without --force, and kept when the range
        # is past the flash's end or the read fails.
        for words, piano, code, message in (
                (["read", "0", "16", out], "", 2, "exists; give --force to replace it"),
                (["--force", "read", "0x3FFFFF0", "0x100", out], "", 2,
                 "ADDRESS 0x3FFFFF0 + LENGTH 0x100 goes past the end of the flash (S29GL512_S, 0x4000000 bytes)"),
                (["--force", "read", "0x10000", "16", out], "silent_on_read=0x10000", 1, "the read did not succeed")):
            with self.subTest(words=words):
                run = self.cli(*words, piano=piano)
                self.assertEqual(run.returncode, code, run.stderr)
                self.assertIn(message, run.stderr)
                self.assertTrue(unchanged())
        # A failed read leaves no OUT, and no temporary file anywhere.
        fresh = os.path.join(self.tmp, "fresh.bin")
        self.assertEqual(self.cli("read", "0x10000", "16", fresh, piano="silent_on_read=0x10000").returncode, 1)
        self.assertFalse(os.path.exists(fresh))
        self.assertEqual(sorted(n for n in os.listdir(self.tmp) if n.startswith(".")), [])
        # Any address and length: whole blocks are read and cut, never an
        # unaligned block read (the piano refuses those: it would time out).
        for address, length in ((0x3FFF800, 0x10), (0x7FF, 0x1002), (0x3FFFFF0, 0x10), (0, 1)):
            with self.subTest(address=address, length=length):
                run = self.cli("--force", "read", hex(address), str(length), out)
                self.assertEqual(run.returncode, 0, run.stderr)
                self.assertEqual(region(out, 0, 1 << 20), region(self.flash, address, length))
        self.assertEqual(size, 0x4000000)
        # verify takes files as update does: through a link; a file larger than
        # the flash is refused before anything is read; nothing is left behind.
        link = os.path.join(self.tmp, "link.bin")
        os.symlink(out, link)
        self.assertEqual(self.cli("verify", link).returncode, 0)
        huge = os.path.join(self.tmp, "huge.bin")
        with open(huge, "wb") as f:
            f.truncate(2 << 30)
        run = self.cli("verify", huge)
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertIn("goes past the end of the largest flash", run.stderr)
        self.assertNotIn("Status:", run.stderr)
        run = self.cli("verify", out, "0x4000000")
        self.assertEqual(run.returncode, 2, run.stderr)
        self.assertIn("goes past the end of the flash (S29GL512_S", run.stderr)
        self.assertEqual([n for n in os.listdir(self.work) if "read" in n and "version" not in n], [])
        self.assertEqual(region(self.flash, 0, 0x80000), flash)

    def test_json_versions_and_progress(self):
        self.factory()
        rom = self.image("update.rom", "--version", "V1.20.00", "--fill", "random:46")
        old = self.image("old.rom", "--version", "V0.90.00")

        def document(run, command):
            lines = run.stdout.splitlines()
            self.assertTrue(lines, run.stderr)
            doc = json.loads(lines[-1])
            self.assertEqual(doc["command"], command)
            self.assertEqual(doc["exit"], run.returncode)
            return doc, [json.loads(line) for line in lines[:-1]]

        ports, _ = document(self.cli("--json", "ports"), "ports")
        self.assertEqual((ports["flash"], ports["version"], ports["product"], ports["outputs"]),
                         ("S29GL512_S", "V1.00.00", "Tessaro", ["Virtual Piano"]))
        info, _ = document(self.cli("--json", "info", rom), "info")
        self.assertEqual((info["passes"], info["result"], info["version"]), (True, 0, "V1.20.00"))
        info, _ = document(self.cli("--json", "info", os.path.join(self.tmp, "none.rom")), "info")
        self.assertEqual((info["passes"], info["result"], info["exit"]), (False, 3, 4))
        error = json.loads(self.cli("--json", "read", "0", "-1", "x").stdout)
        self.assertEqual(error["exit"], 2)
        self.assertIn("LENGTH", error["error"])

        # An update: JSON lines of events, the document last; the progress
        # climbs from 0 to 100 through the phases.
        run = self.cli("--json", "--yes", "update", rom)
        self.assertEqual(run.returncode, 0, run.stderr)
        doc, events = document(run, "update")
        self.assertEqual((doc["result"], doc["deviceVersion"], doc["imageVersion"]),
                         ("Update OK!", "V1.00.00", "V1.20.00"))
        percents = [e["percent"] for e in events if e["event"] == "progress"]
        self.assertEqual(percents, sorted(percents))
        self.assertEqual((percents[0], percents[-1]), (0, 100))
        phases = [e["phase"] for e in events if e["event"] == "progress"]
        for phase in ("driver", "backup", "erase", "program", "restore", "read-back", "compare"):
            self.assertIn(phase, phases)
        self.assertIn({"event": "question", "text": "Start update? Update your device? (V1.00.00 \u2192 V1.20.00)",
                       "answer": "yes"}, events)
        # The same version again, or an older one: refused unless asked for.
        for words, code, message in ((["update", rom], 8, "already has version V1.20.00; give --allow-reinstall"),
                                     (["update", old], 8, "is older than the instrument's V1.20.00"),
                                     (["--allow-reinstall", "--quiet", "update", rom], 0, ""),
                                     (["--allow-older", "update", old], 0, "")):
            with self.subTest(words=words):
                run = self.cli("--yes", *words)
                self.assertEqual(run.returncode, code, run.stderr)
                self.assertIn(message, run.stderr)
                if "--quiet" in words:
                    self.assertNotIn("Status:", run.stderr)
                    self.assertNotIn("progress", run.stderr)
                elif code == 0:
                    steps = [int(m) for m in re.findall(r"^progress (\d+) % ", run.stderr, re.M)]
                    self.assertEqual(steps, sorted(steps))
                    self.assertEqual((steps[0], steps[-1]), (0, 100))
                    self.assertLess(len(steps), 40)

        # Every update that wrote is in the history, oldest first.
        history = self.cli("history")
        self.assertEqual(history.returncode, 0, history.stderr)
        self.assertEqual(len(history.stdout.splitlines()), 3, history.stdout)
        self.assertIn("Update OK!  (safe update, V1.20.00 -> V0.90.00, flash S29GL512_S", history.stdout)
        records = json.loads(self.cli("--json", "history").stdout)["records"]
        self.assertEqual([(r["versionBefore"], r["versionAfter"], r["ok"], r["path"]) for r in records],
                         [("V1.00.00", "V1.20.00", True, "safe"), ("V1.20.00", "V1.20.00", True, "safe"),
                          ("V1.20.00", "V0.90.00", True, "safe")])
        self.assertEqual(records[0]["imageMd5"], hashlib.md5(open(rom, "rb").read()).hexdigest())

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
                proc = self.start_cli("--yes", "--allow-reinstall", "update", rom, piano=SLOW)
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
                again = self.cli("--yes", "--allow-reinstall", "update", rom, piano=SLOW, timeout=300)
                self.assertEqual(again.returncode, 0, again.stderr[-2000:])
                self.assertEqual(region(self.flash, 0, 0x40000), image)
                self.assertEqual(region(self.flash, 0x40000, 0x20000), data)
                self.assertFalse(os.path.exists(os.path.join(self.work, "orv_update.lock")))


    def test_interrupted_says_what_became_of_the_firmware(self):
        data = self.factory()[0x40000:0x60000]
        rom = self.image("update.rom", "--version", "V1.80.00", "--fill", "random:46")
        with open(rom, "rb") as f:
            image = f.read()
        slow = "timing=1,link=100,latency=0.1,erase_ms=300,program_us=300"
        lock = os.path.join(self.work, "orv_update.lock")

        def interrupt_at(marker, *signals, args=("--yes", "update", rom)):
            """Starts an update, sends `signals` (one each 0.3 s) once `marker`
            is logged; returns the exit code and what the tool said."""
            proc = self.start_cli(*args, piano=slow)
            said = []
            for line in proc.stderr:
                said.append(line)
                if marker in line:
                    break
            for sig in signals:
                proc.send_signal(sig)
                time.sleep(0.3)
            said.append(proc.stderr.read())
            proc.stderr.close()
            return proc.wait(120), "".join(said)

        # While it looks for the piano, and while it reads the backup: nothing
        # was written, and nothing is left to finish.
        code, said = interrupt_at("tamarind-cli", signal.SIGINT, args=("--wait", "30", "ports"))
        self.assertEqual(code, 9, said[-2000:])
        self.assertIn("interrupted; nothing was written to the piano: its firmware is as it was", said)
        code, said = interrupt_at("Reading...", signal.SIGTERM)
        self.assertEqual(code, 9, said[-2000:])
        self.assertIn("its firmware is as it was", said)
        self.assertFalse(os.path.exists(lock))
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data)

        # While erasing, one Ctrl-C is only said and the update goes on to its end.
        code, said = interrupt_at("Erasing ...", signal.SIGINT)
        self.assertEqual(code, 0, said[-2000:])
        self.assertIn("the piano's flash is being written; stopped now, its firmware would stay unfinished", said)
        self.assertIn("Status: Update OK!", said)
        self.assertEqual(region(self.flash, 0, 0x40000), image)

        # A second one stops it: the firmware is unfinished, the lock and the
        # backup stay, and the next update finishes the job.
        code, said = interrupt_at("Erasing ...", signal.SIGINT, signal.SIGINT,
                                  args=("--yes", "--json", "--allow-reinstall", "update", rom))
        self.assertEqual(code, 9, said[-2000:])
        self.assertIn("interrupted while the piano's firmware was being rewritten: it is unfinished", said)
        self.assertIn("The next 'tamarind-cli update' finishes it", said)
        self.assertTrue(os.path.exists(lock))
        self.assertTrue(os.path.exists(os.path.join(self.work, "orv_backup.tmp")))
        again = self.cli("--yes", "--json", "update", rom, piano=slow, timeout=300)
        self.assertEqual(again.returncode, 0, again.stderr[-2000:])
        self.assertEqual(region(self.flash, 0, 0x40000), image)
        self.assertEqual(region(self.flash, 0x40000, 0x20000), data)
        self.assertFalse(os.path.exists(lock))

        # At the question on a terminal: the answer is no, and nothing is written.
        import pty
        controller, terminal = pty.openpty()
        env = dict(self.env, TAMARIND_VIRTUAL_PIANO="store=" + self.flash)
        proc = subprocess.Popen([ARGS.cli, "--midi", "virtual", "--wait", "10", "--allow-reinstall", "update", rom],
                                env=env, stdin=terminal, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        os.close(terminal)
        asked = ""
        for line in iter(lambda: proc.stderr.read(1), ""):
            asked += line
            if asked.endswith("[y/N] "):
                break
        proc.send_signal(signal.SIGINT)
        rest = proc.stderr.read()
        proc.stderr.close()
        os.close(controller)
        self.assertEqual(proc.wait(60), 9, (asked + rest)[-2000:])
        self.assertIn("nothing was written to the piano", rest)
        self.assertEqual(region(self.flash, 0, 0x40000), image)

        # With --json the document says it too.
        proc = subprocess.Popen([ARGS.cli, "--midi", "virtual", "--json", "--wait", "30", "ports"],
                                env=dict(self.env, TAMARIND_VIRTUAL_PIANO="silent_after=0"), text=True,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        time.sleep(1)
        proc.send_signal(signal.SIGINT)
        out, _ = proc.communicate(timeout=60)
        doc = json.loads(out.strip().splitlines()[-1])
        self.assertEqual((proc.returncode, doc["exit"], doc["interrupted"], doc["firmware"]),
                         (9, 9, True, "unchanged"))

if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--cli", required=True)
    parser.add_argument("--image-tool", required=True)
    parser.add_argument("--virtual-piano", required=True)
    parser.add_argument("--few-cuts", action="store_true",
                        help="kill only in two jobs (the slow sanitizer builds; the matrices cut everywhere)")
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
