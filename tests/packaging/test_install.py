"""The installed tree: "cmake --install" into a fresh prefix whose path holds
a space, then what a packager, a desktop and a user see in it; and the
desktop entries that install.sh and the install write for program folders
with awkward names, as a desktop reads and starts them."""
import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

from desktop import ICON_SIZES, exec_arguments, read_entry, unescape_string

ARGS = None
HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", ".."))
# One "cmake --install" into a fresh prefix, shared by the tests below.
TMP = None
PREFIX = None

# Program folders whose path holds what the Exec key must quote or escape.
AWKWARD_FOLDERS = (
    ("percent sign", "50% off"),
    ("field code", "take %f and %U"),
    ("space", "two words"),
    ("double quote", 'say "hi"'),
    ("dollar", "$HOME"),
    ("backslash", "back\\slash\\"),
    ("single quote", "it's"),
    ("backquote", "`id`"),
    ("tab", "a\tb"),
    ("shell characters", "a;b&c|d<e>f(g)h*i?j#k~l"),
    ("equals sign", "key=value"),
    ("not ASCII", "Übung ♪"),
    ("all at once", "%f \" $ \\ ' ` %% ~"),
)


def setUpModule():
    global TMP, PREFIX
    # Physical: install.sh names its folder without links.
    TMP = os.path.realpath(tempfile.mkdtemp(prefix="tamarind-install-"))
    PREFIX = os.path.join(TMP, "pre fix")
    subprocess.run(["cmake", "--install", ARGS.build, "--prefix", PREFIX], check=True, stdout=subprocess.DEVNULL,
                   timeout=120)


def tearDownModule():
    shutil.rmtree(TMP, ignore_errors=True)


def write_stub_program(path):
    """A program that only tells how it was started: its command line and where it lies."""
    with open(path, "w", encoding="utf-8") as f:
        f.write("#!%s\nimport json, os, sys\n"
                "print(json.dumps({'argv': sys.argv, 'file': os.path.realpath(__file__)}))\n" % sys.executable)
    os.chmod(path, 0o755)


def launch(entry, argument, env):
    """Starts a desktop entry as a desktop does (gio launch) with one file, and
    returns what the started program reported. Its output is read to the end,
    which comes when the program has ended too."""
    run = subprocess.run(["gio", "launch", entry, argument], env=env, capture_output=True, text=True,
                         timeout=60, stdin=subprocess.DEVNULL)
    if run.returncode != 0 or not run.stdout.strip():
        raise AssertionError("gio launch %s: status %d, %r" % (entry, run.returncode, run.stdout + run.stderr))
    return json.loads(run.stdout)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR", path
    return struct.unpack(">II", head[16:24])


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = TMP
        cls.prefix = PREFIX

    def path(self, relative):
        return os.path.join(self.prefix, relative)

    def test_the_tree_is_the_program_folder_links_and_desktop_files(self):
        i = ARGS.app_id
        expected = {
            "bin/Tamarind", "bin/tamarind-cli",
            "lib/tamarind/Tamarind", "lib/tamarind/tamarind-cli", "lib/tamarind/Help.pdf",
            "share/applications/%s.desktop" % i, "share/metainfo/%s.metainfo.xml" % i,
            "share/man/man1/Tamarind.1", "share/man/man1/tamarind-cli.1",
            "share/icons/hicolor/scalable/apps/%s.svg" % i,
        } | {"share/icons/hicolor/%dx%d/apps/%s.png" % (s, s, i) for s in ICON_SIZES}
        found = set()
        for folder, _, files in os.walk(self.prefix):
            found |= {os.path.relpath(os.path.join(folder, f), self.prefix) for f in files}
        self.assertEqual(sorted(found), sorted(expected))
        for name in ("Tamarind", "tamarind-cli"):
            self.assertEqual(os.readlink(self.path("bin/" + name)), "../lib/tamarind/" + name)
            self.assertTrue(os.access(self.path("lib/tamarind/" + name), os.X_OK))
        with open(self.path("lib/tamarind/Help.pdf"), "rb") as f:
            self.assertEqual(f.read(5), b"%PDF-")
        for page in ("Tamarind.1", "tamarind-cli.1"):
            with open(self.path("share/man/man1/" + page), encoding="utf-8") as f:
                self.assertIn('"Tamarind %s"' % ARGS.version, f.readline())

    def test_the_programs_answer_through_their_links(self):
        for name in ("Tamarind", "tamarind-cli"):
            run = subprocess.run([self.path("bin/" + name), "--version"], capture_output=True, text=True,
                                 timeout=30, env=dict(os.environ, DISPLAY=""))
            self.assertEqual((run.returncode, run.stdout), (0, "%s %s\n" % (name, ARGS.version)), run.stderr)

    def test_started_by_name_from_path_the_image_comes_from_the_program_folder(self):
        # Another update.rom in the current folder must not be taken for it.
        work = os.path.join(self.tmp, "work")
        elsewhere = os.path.join(self.tmp, "elsewhere")
        os.makedirs(work, exist_ok=True)
        os.makedirs(elsewhere, exist_ok=True)
        packed = self.path("lib/tamarind/update.rom")
        for path, version in ((packed, "V1.20.00"), (os.path.join(elsewhere, "update.rom"), "V9.00.00")):
            subprocess.run([ARGS.image_tool, "make", path, "--version", version], check=True,
                           stdout=subprocess.DEVNULL, timeout=60)
        try:
            env = dict(os.environ, PATH=self.path("bin") + os.pathsep + os.environ.get("PATH", ""),
                       TAMARIND_WORK_DIR=work)
            env.pop("TAMARIND_VIRTUAL_PIANO", None)
            run = subprocess.run(["tamarind-cli", "--midi", "virtual", "--log", "--wait", "10", "update"], cwd=elsewhere,
                                 env=env, capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
        finally:
            os.remove(packed)
        # Checked and allowed, then answered NO (nobody to ask): nothing written.
        self.assertEqual(run.returncode, 5, run.stderr)
        self.assertIn("File version:V1.20.00\n", run.stderr)

    def test_the_desktop_entry_is_valid_and_starts_the_installed_program(self):
        entry = self.path("share/applications/%s.desktop" % ARGS.app_id)
        run = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True, timeout=60)
        self.assertEqual((run.returncode, run.stdout + run.stderr), (0, ""))
        keys = read_entry(entry)
        self.assertEqual(exec_arguments(keys["Exec"]), [self.path("lib/tamarind/Tamarind"), "%f"])
        self.assertEqual(keys["Icon"], ARGS.app_id)
        self.assertEqual(keys["Name"], "Tamarind")
        self.assertEqual(keys["StartupWMClass"], "Tamarind")

    def test_the_catalogue_entry_is_valid_and_names_this_version(self):
        metainfo = self.path("share/metainfo/%s.metainfo.xml" % ARGS.app_id)
        run = subprocess.run(["appstreamcli", "validate", "--no-net", metainfo], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        root = ET.parse(metainfo).getroot()
        self.assertEqual(root.findtext("id"), ARGS.app_id)
        self.assertEqual(root.findtext("launchable"), ARGS.app_id + ".desktop")
        self.assertEqual([r.get("version") for r in root.iter("release")], [ARGS.version])
        self.assertEqual(sorted(b.text for b in root.iter("binary")), ["Tamarind", "tamarind-cli"])

    def test_the_icons_have_their_sizes(self):
        for s in ICON_SIZES:
            self.assertEqual(png_size(self.path("share/icons/hicolor/%dx%d/apps/%s.png" % (s, s, ARGS.app_id))),
                             (s, s))
        svg = ET.parse(self.path("share/icons/hicolor/scalable/apps/%s.svg" % ARGS.app_id)).getroot()
        self.assertEqual(svg.tag, "{http://www.w3.org/2000/svg}svg")
        self.assertEqual(svg.get("viewBox"), "0 0 64 64")


class DesktopEntryTest(unittest.TestCase):
    """The entries that start a program folder's program: install.sh's for an
    unpacked release folder, and the install's for a prefix."""

    def setUp(self):
        if shutil.which("gio") is None:
            self.fail("gio is missing (Debian's libglib2.0-bin; ./setup.sh installs it)")
        self.tmp = tempfile.mkdtemp(prefix="entries-", dir=TMP)
        self.rom = os.path.join(self.tmp, "my %f file.rom")
        open(self.rom, "wb").close()
        # Started as from a desktop session: nothing of this one's display or bus.
        self.env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS")}

    def release_folder(self, number, name):
        """A release folder as tools/make-release.sh lays it out, with a stub for the program."""
        folder = os.path.join(self.tmp, str(number), name)
        os.makedirs(os.path.join(folder, "icons"))
        for f in ("install.sh", ARGS.app_id + ".desktop"):
            shutil.copy2(os.path.join(ARGS.build, "packaging", f), folder)
        shutil.copytree(os.path.join(PREFIX, "share", "icons", "hicolor"), os.path.join(folder, "icons", "hicolor"))
        write_stub_program(os.path.join(folder, "Tamarind"))
        return folder

    def install_sh(self, folder, data, *args, env=None):
        env = dict(self.env, HOME=os.path.join(self.tmp, "home"), XDG_DATA_HOME=data) if env is None else env
        return subprocess.run([os.path.join(folder, "install.sh"), *args], env=env, capture_output=True, text=True,
                              errors="replace", timeout=60, cwd=self.tmp)

    def assert_entry_starts(self, entry, program):
        check = subprocess.run(["desktop-file-validate", entry], capture_output=True, text=True, timeout=60)
        self.assertEqual((check.returncode, check.stdout + check.stderr), (0, ""))
        keys = read_entry(entry)
        args = exec_arguments(keys["Exec"])
        # A program found on PATH may stand before it (see install.sh).
        self.assertEqual(args[-2:], [program, "%f"], keys["Exec"])
        self.assertIn(args[:-2], ([], ["env"]))
        self.assertEqual(keys["Icon"], ARGS.app_id)
        started = launch(entry, self.rom, self.env)
        self.assertEqual(started, {"argv": [program, self.rom], "file": program})
        return keys

    def test_install_sh_entry_starts_the_program_of_an_awkward_folder(self):
        for number, (label, name) in enumerate(AWKWARD_FOLDERS):
            with self.subTest(label):
                folder = self.release_folder(number, name)
                program = os.path.join(folder, "Tamarind")
                data = os.path.join(self.tmp, "data%d" % number)
                done = self.install_sh(folder, data)
                self.assertEqual(done.returncode, 0, done.stderr)
                keys = self.assert_entry_starts(os.path.join(data, "applications", ARGS.app_id + ".desktop"),
                                                program)
                self.assertEqual(unescape_string(keys["TryExec"]), program)
                gone = self.install_sh(folder, data, "--uninstall")
                self.assertEqual(gone.returncode, 0, gone.stderr)
                self.assertEqual([f for _, _, files in os.walk(data) for f in files], [])

    def test_installed_entry_starts_the_program_of_an_awkward_prefix(self):
        # The install's step that writes the entry, as "cmake --install" runs it.
        template = os.path.join(ARGS.build, "packaging", ARGS.app_id + ".desktop")
        for number, (label, name) in enumerate(AWKWARD_FOLDERS):
            if "\\" in name:
                continue  # "cmake --install" itself installs nothing below a path with a backslash
            with self.subTest(label):
                prefix = os.path.join(self.tmp, "prefix%d" % number, name)
                program = os.path.join(prefix, "lib", "tamarind", "Tamarind")
                os.makedirs(os.path.dirname(program))
                write_stub_program(program)
                env = {k: v for k, v in self.env.items() if k != "DESTDIR"}
                subprocess.run(["cmake", "-DCMAKE_INSTALL_PREFIX=" + prefix, "-DTAMARIND_DESKTOP_TEMPLATE=" + template,
                                "-DTAMARIND_DESKTOP_PROGRAM=lib/tamarind/Tamarind",
                                "-DTAMARIND_DESKTOP_DESTINATION=share/applications",
                                "-P", os.path.join(ROOT, "packaging", "InstallDesktopEntry.cmake")],
                               env=env, check=True, stdout=subprocess.DEVNULL, timeout=60)
                self.assert_entry_starts(os.path.join(prefix, "share", "applications", ARGS.app_id + ".desktop"),
                                         program)

    def test_install_sh_refuses_a_folder_no_entry_can_start(self):
        cases = (("line break", "a\nb", "holds a line break"),
                 ("control character", "a\x01b", "holds a control character"),
                 ("not UTF-8", os.fsdecode(b"caf\xe9"), "is not UTF-8 text"),
                 ("percent and equals signs", "50%=half", "holds both % and ="))
        for number, (label, name, why) in enumerate(cases):
            with self.subTest(label):
                folder = self.release_folder(number, name)
                data = os.path.join(self.tmp, "data%d" % number)
                done = self.install_sh(folder, data)
                self.assertEqual(done.returncode, 1, done.stdout + done.stderr)
                self.assertIn(why, done.stderr)
                self.assertTrue(done.stderr.endswith("; rename the folder first\n"), done.stderr)
                self.assertFalse(os.path.exists(data))

    def test_install_sh_without_a_home_writes_and_removes_nothing(self):
        folder = self.release_folder(0, "Tamarind")
        data = os.path.join(self.tmp, "data")
        old_entry = os.path.join(data, "applications", ARGS.app_id + ".desktop")
        os.makedirs(os.path.dirname(old_entry))
        with open(old_entry, "w", encoding="utf-8") as f:
            f.write("[Desktop Entry]\n")
        homes = (("unset", None), ("empty", ""), ("relative", "home"))
        for label, home in homes:
            for args in ((), ("--uninstall",)):
                with self.subTest(home=label, args=args):
                    env = dict(self.env, XDG_DATA_HOME=data)
                    env.pop("HOME", None)
                    if home is not None:
                        env["HOME"] = home
                    done = self.install_sh(folder, data, *args, env=env)
                    self.assertNotEqual(done.returncode, 0)
                    self.assertEqual(done.stdout, "")
                    self.assertEqual(len(done.stderr.splitlines()), 1, done.stderr)
                    self.assertRegex(done.stderr, r"^install\.sh: HOME .*home folder")
                    found = sorted(os.path.join(d, f) for d, _, files in os.walk(data) for f in files)
                    self.assertEqual(found, [old_entry])
                    self.assertFalse(os.path.exists(os.path.join(self.tmp, "home")))


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--app-id", required=True)
    parser.add_argument("--image-tool", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
