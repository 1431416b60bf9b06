"""The installed tree: "cmake --install" into a fresh prefix whose path holds
a space, then what a packager, a desktop and a user see in it."""
import argparse
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

from desktop import ICON_SIZES, exec_arguments, read_entry

ARGS = None


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and head[12:16] == b"IHDR", path
    return struct.unpack(">II", head[16:24])


class InstallTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix="tamarind-install-")
        cls.prefix = os.path.join(cls.tmp, "pre fix")
        subprocess.run(["cmake", "--install", ARGS.build, "--prefix", cls.prefix], check=True,
                       stdout=subprocess.DEVNULL, timeout=120)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

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


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--app-id", required=True)
    parser.add_argument("--image-tool", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], "-v", *rest])
