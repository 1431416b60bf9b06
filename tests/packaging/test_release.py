"""The release command: an image the check refuses makes no release; the
Linux archive, unpacked into a fresh folder (its path holding a space), runs
against the virtual piano and its install script puts it into a menu; with
--windows-build, the Windows zip, unpacked likewise, runs under Wine."""
import argparse
import hashlib
import os
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
                 (os.path.join(self.tmp, "missing.rom"), "is not a file"))
        for rom, why in cases:
            run = self.release(rom)
            self.assertEqual(run.returncode, 1, run.stdout + run.stderr)
            self.assertIn(why, run.stderr)
            self.assertEqual(os.listdir(self.out) if os.path.isdir(self.out) else [], [])

    def test_the_linux_archive_unpacked_elsewhere_runs_against_the_piano(self):
        rom = self.image("V1.10.00.rom", "--version", "V1.10.00", "--product", "Tessaro", "--fill", "random:16")
        run = self.release(rom)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        name = "Tamarind-%s-linux-%s" % (ARGS.version, os.uname().machine)
        archive = os.path.join(self.out, name + ".tar.gz")
        sums = "Tamarind-%s-SHA256SUMS" % ARGS.version
        self.assertEqual(sorted(os.listdir(self.out)), sorted([name + ".tar.gz", sums]))
        with open(archive, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(self.out, sums), encoding="utf-8") as f:
            self.assertEqual(f.read(), "%s  %s.tar.gz\n" % (digest, name))

        i = ARGS.app_id
        expected = {"", "Tamarind", "tamarind-cli", "update.rom", "Help.pdf", "ReadMe.txt", i + ".desktop",
                    "install.sh", "icons", "icons/hicolor", "icons/hicolor/scalable", "icons/hicolor/scalable/apps",
                    "icons/hicolor/scalable/apps/%s.svg" % i}
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

    def test_the_windows_zip_unpacked_elsewhere_runs_under_wine(self):
        if not ARGS.windows_build:
            self.skipTest("no Windows build named (--windows-build)")
        rom = self.image("update.rom", "--version", "V1.20.00", "--product", "Tessaro", "--fill", "random:17")
        run = self.release(rom, ARGS.windows_build)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        name = "Tamarind-%s-windows" % ARGS.version
        archive = os.path.join(self.out, name + ".zip")
        with open(archive, "rb") as f:
            digest = hashlib.sha256(f.read()).hexdigest()
        with open(os.path.join(self.out, "Tamarind-%s-SHA256SUMS" % ARGS.version), encoding="utf-8") as f:
            self.assertIn("%s  %s.zip\n" % (digest, name), f.read())
        unpacked = os.path.join(self.tmp, "un packed")
        with zipfile.ZipFile(archive) as z:
            self.assertEqual(sorted(z.namelist()), sorted(name + "/" + e for e in (
                "", "Tamarind.exe", "tamarind-cli.exe", "Help.pdf", "ReadMe.txt", "update.rom")))
            z.extractall(unpacked)
        folder = os.path.join(unpacked, name)

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
