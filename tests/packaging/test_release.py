"""The release command: an image the check refuses makes no release; the
archives are named after the firmware they carry; the Linux archive, unpacked
into a fresh folder (its path holding a space), runs against the virtual piano,
its ReadMe names the glibc its programs need and its install script puts it
into a menu; with --windows-build, the Windows zip, unpacked likewise, runs
under Wine."""
import argparse
import hashlib
import os
import re
import shutil
import subprocess
import sys
import tarfile
import tempfile
import unittest
import zipfile

from desktop import ICON_SIZES, exec_arguments, read_entry

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import harness  # noqa: E402

ARGS = None
ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def required_glibc(programs):
    """The newest GLIBC_x.y symbol version the programs ask of the C library."""
    run = subprocess.run(["objdump", "-T", *programs], capture_output=True, text=True, check=True, timeout=120)
    versions = {tuple(int(n) for n in v.split(".")) for v in re.findall(r"\bGLIBC_([0-9]+(?:\.[0-9]+)+)\b", run.stdout)}
    return max(versions)


def read_text(path, newline=None):
    with open(path, encoding="utf-8", newline=newline) as f:
        return f.read()


class ReleaseTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp(prefix="tamarind-release-")
        self.out = os.path.join(self.tmp, "out")

    def tearDown(self):
        shutil.rmtree(self.tmp, ignore_errors=True)

    def image(self, name, *args):
        path = os.path.join(self.tmp, name)
        subprocess.run([ARGS.image_tool, "make", path, *args], check=True, stdout=subprocess.DEVNULL, timeout=60)
        return path

    def release(self, rom, windows_build=None):
        # The builds are the test's own: no Windows build takes part unless named.
        env = dict(os.environ, TAMARIND_BUILD_DIR=ARGS.build,
                   TAMARIND_WINDOWS_BUILD_DIR=windows_build or os.path.join(self.tmp, "no-windows-build"))
        return subprocess.run([os.path.join(ROOT, "tools", "make-release.sh"), "--no-build", "--out", self.out, rom],
                              env=env, capture_output=True, text=True, timeout=240, stdin=subprocess.DEVNULL)

    def test_a_refused_image_makes_no_release(self):
        cases = ((self.image("unsigned.rom", "--no-signature"), "the image check refused"),
                 (self.image("noversion.rom", "--no-version"), "the image check refused"),
                 (os.path.join(self.tmp, "missing.rom"), "is not a file"),
                 # Accepted by the check, but no part of a file name.
                 (self.image("slash.rom", "--version", "V1/07"), "cannot stand in a file name"),
                 (self.image("space.rom", "--version", "V1 07"), "cannot stand in a file name"),
                 (self.image("dots.rom", "--version", ".."), "cannot stand in a file name"),
                 (self.image("lines.rom", "--version", "V1\n07"), "cannot stand in a file name"))
        for rom, why in cases:
            run = self.release(rom)
            self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
            self.assertIn(why, run.stderr)
            self.assertEqual(os.listdir(self.out) if os.path.isdir(self.out) else [], [])

    def test_the_linux_archive_unpacked_elsewhere_runs_against_the_piano(self):
        rom = self.image("V1.10.00.rom", "--version", "V1.10.00", "--product", "Tessaro", "--fill", "random:16")
        run = self.release(rom)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        name = "Tamarind-%s-fw-V1.10.00-linux-%s" % (ARGS.version, os.uname().machine)
        archive = os.path.join(self.out, name + ".tar.gz")
        sums = "Tamarind-%s-fw-V1.10.00-SHA256SUMS" % ARGS.version
        self.assertEqual(sorted(os.listdir(self.out)), sorted([name + ".tar.gz", sums]))
        with open(archive, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(self.out, sums), encoding="utf-8") as f:
            self.assertEqual(f.read(), "%s  %s.tar.gz\n" % (digest, name))

        i = ARGS.app_id
        expected = {"", "Tamarind", "tamarind-cli", "update.rom", "Help.pdf", "ReadMe.txt", i + ".desktop",
                    "install.sh", "Tamarind.1", "tamarind-cli.1", "icons", "icons/hicolor", "icons/hicolor/scalable",
                    "icons/hicolor/scalable/apps", "icons/hicolor/scalable/apps/%s.svg" % i}
        for s in ICON_SIZES:
            d = "icons/hicolor/%dx%d" % (s, s)
            expected |= {d, d + "/apps", "%s/apps/%s.png" % (d, i)}
        with tarfile.open(archive) as tar:
            members = tar.getmembers()
            self.assertEqual(sorted(m.name for m in members), sorted((name + "/" + e).rstrip("/") for e in expected))
            self.assertTrue(all(m.uid == 0 and m.gid == 0 for m in members))
            unpacked = os.path.join(self.tmp, "un packed")
            os.makedirs(unpacked)
            tar.extractall(unpacked)
        folder = os.path.join(unpacked, name)
        with open(rom, "rb") as a, open(os.path.join(folder, "update.rom"), "rb") as b:
            self.assertEqual(a.read(), b.read())
        # The manual pages as built (roff, with the project's version).
        for page in ("Tamarind.1", "tamarind-cli.1"):
            self.assertEqual(read_text(os.path.join(folder, page)), read_text(os.path.join(ARGS.build, "man", page)))

        # The ReadMe names every file it comes with, and the oldest glibc the
        # packed programs run on: the newest symbol version they require.
        readme = read_text(os.path.join(folder, "ReadMe.txt"))
        self.assertNotIn("@", readme)
        for f in ("Tamarind", "tamarind-cli", "update.rom", "Help.pdf", "Tamarind.1", "tamarind-cli.1", "install.sh"):
            self.assertRegex(readme, r"(?<![\w.-])%s(?![\w-])" % re.escape(f))
        stated = re.findall(r"\bglibc\s+([0-9]+(?:\.[0-9]+)+) or newer", readme)
        self.assertEqual(len(stated), 1, readme)
        required = required_glibc([os.path.join(folder, "Tamarind"), os.path.join(folder, "tamarind-cli")])
        self.assertGreaterEqual(tuple(int(n) for n in stated[0].split(".")), required,
                                "the ReadMe states glibc %s, the programs need %s" % (stated[0], required))
        self.assertEqual(stated[0], ".".join(map(str, required)))

        # The packed command-line tool checks the packed image.
        info = subprocess.run(["./tamarind-cli", "info", "update.rom"], cwd=folder, capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(info.returncode, 0, info.stdout + info.stderr)
        self.assertIn("version:  V1.10.00", info.stdout)

        # The packed program, started from another folder, finds its image.
        session = harness.Session(os.path.join(folder, "Tamarind"), ARGS.artefacts)
        try:
            app = session.launch()
            self.assertIsNotNone(app.wait_line("Status: Piano connected.", 30), app.lines)
            self.assertIn("File version:V1.10.00", app.lines)
        finally:
            session.close()

        # install.sh: the user's menu gets an entry that starts this folder's program.
        data = os.path.join(self.tmp, "data")
        env = dict(os.environ, XDG_DATA_HOME=data)
        done = subprocess.run([os.path.join(folder, "install.sh")], env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(done.returncode, 0, done.stderr)
        entry = os.path.join(data, "applications", i + ".desktop")
        check = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True, timeout=60)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))
        keys = read_entry(entry)
        self.assertEqual(exec_arguments(keys["Exec"]), [os.path.join(folder, "Tamarind"), "%f"])
        self.assertEqual(keys["TryExec"], os.path.join(folder, "Tamarind"))
        self.assertEqual(keys["Icon"], i)
        for s in ICON_SIZES:
            self.assertTrue(os.path.isfile(os.path.join(data, "icons/hicolor/%dx%d/apps/%s.png" % (s, s, i))))
        gone = subprocess.run([os.path.join(folder, "install.sh"), "--uninstall"], env=env, capture_output=True,
                              text=True, timeout=60)
        self.assertEqual(gone.returncode, 0, gone.stderr)
        left = [os.path.join(d, f) for d, _, files in os.walk(data) for f in files]
        self.assertEqual(left, [])

    def test_the_manual_pages_as_text_read_as_in_a_terminal(self):
        # What the Windows build packs (packaging/ManPageText.cmake), made here
        # from the native build's pages.
        for page, title in (("Tamarind", "TAMARIND(1)"), ("tamarind-cli", "TAMARIND-CLI(1)")):
            with self.subTest(page):
                out = os.path.join(self.tmp, page + ".txt")
                subprocess.run(["cmake", "-DGROFF=groff", "-DPAGE=" + os.path.join(ARGS.build, "man", page + ".1"),
                                "-DOUT=" + out, "-P", os.path.join(ROOT, "packaging", "ManPageText.cmake")],
                               check=True, timeout=60)
                text = read_text(out, newline="")
                lines = text.split("\r\n")
                self.assertEqual(text.count("\n"), len(lines) - 1, "a line end that is not CRLF")
                self.assertEqual(lines[-1], "")
                self.assertTrue(lines[0].startswith(title) and lines[0].endswith(title), lines[0])
                self.assertIn("NAME", lines)
                self.assertIn("%s %s" % ("Tamarind", ARGS.version), lines[-2])
                # No overstrike, escape sequence, hyphenation or trailing blank.
                self.assertIsNone(re.search(r"[\x00-\x09\x0b\x0c\x0e-\x1f\x7f\u2010\u00ad]", text))
                self.assertEqual([line for line in lines if line != line.rstrip()], [])

    def test_the_windows_zip_unpacked_elsewhere_runs_under_wine(self):
        if not ARGS.windows_build:
            self.skipTest("no Windows build named (--windows-build)")
        rom = self.image("update.rom", "--version", "V1.20.00", "--product", "Tessaro", "--fill", "random:17")
        run = self.release(rom, ARGS.windows_build)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        name = "Tamarind-%s-fw-V1.20.00-windows" % ARGS.version
        archive = os.path.join(self.out, name + ".zip")
        with open(archive, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(self.out, "Tamarind-%s-fw-V1.20.00-SHA256SUMS" % ARGS.version), encoding="utf-8") as f:
            self.assertIn("%s  %s.zip\n" % (digest, name), f.read())
        unpacked = os.path.join(self.tmp, "un packed")
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(sorted(z.namelist()), sorted(name + "/" + e for e in (
                "", "Tamarind.exe", "tamarind-cli.exe", "Help.pdf", "ReadMe.txt", "update.rom", "Tamarind.txt",
                "tamarind-cli.txt")))
            z.extractall(unpacked)
        folder = os.path.join(unpacked, name)
        # The text files are Windows text: CRLF line ends; the manual pages
        # are the Linux pages as a terminal shows them.
        for f, first in (("ReadMe.txt", "Tamarind %s for Windows" % ARGS.version),
                         ("Tamarind.txt", "TAMARIND(1)"), ("tamarind-cli.txt", "TAMARIND-CLI(1)")):
            text = read_text(os.path.join(folder, f), newline="")
            self.assertEqual(text.count("\n"), text.count("\r\n"), f)
            self.assertTrue(text.startswith(first), f)

        harness.use_wine()
        session = harness.Session(os.path.join(folder, "Tamarind.exe"), ARGS.artefacts)
        try:
            info = harness.run_tool(os.path.join(folder, "tamarind-cli.exe"), ["info", "update.rom"], env=session.env,
                                    cwd=folder, capture_output=True, text=True, timeout=120)
            self.assertEqual(info.returncode, 0, info.stdout + info.stderr)
            self.assertIn("version:  V1.20.00", info.stdout)
            app = session.launch()
            self.assertIsNotNone(app.wait_line("Status: Piano connected.", 60), app.lines)
            self.assertIn("File version:V1.20.00", app.lines)
        finally:
            session.close()


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--app-id", required=True)
    parser.add_argument("--image-tool", required=True)
    parser.add_argument("--artefacts", required=True)
    parser.add_argument("--windows-build", help="also the Windows zip of this build, run under Wine")
    ARGS, rest = parser.parse_known_args()
    if ARGS.windows_build:
        ARGS.windows_build = os.path.abspath(ARGS.windows_build)
    if not os.path.isfile(os.path.join(ARGS.build, "CMakeCache.txt")):
        # The release command checks the image with the native build's tools.
        print("no native build in %s: skipped" % ARGS.build)
        sys.exit(77)
    unittest.main(argv=[sys.argv[0], "-v", *rest])
