"""Runs the real Tamarind program under Xvfb and reads its standard output.

Each test gets its own X display, instance name and working folder, so tests
never meet a user's running instance or each other's files.

With use_wine() the programs are the Windows build, run under Wine in a prefix
of the harness's own; each test ends every Wine process of that prefix.
"""
import atexit
import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import time
import uuid


def project_version():
    """The version that the build gives the programs: the project's, in CMakeLists.txt."""
    top = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "CMakeLists.txt")
    with open(top, encoding="utf-8") as f:
        return re.search(r"project\(Tamarind VERSION ([0-9.]+)", f.read()).group(1)


# The main window's title and the places clicked in the windows' content.
MAIN = r"^Tamarind\(V%s\)$" % re.escape(project_version())
MAIN_SIZE = (572, 284)
ASK_SIZE = (400, 200)
DONE_SIZE = (572, 284)
UPDATE_BUTTON = (198, 178)
YES = (130, 166)
NO = (274, 166)
OK = (282, 246)


class Wine:
    """A Wine prefix of its own, created (wineboot) before the first program runs."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="tamarind-e2e-wine-")
        atexit.register(shutil.rmtree, self.root, True)
        self.env = {
            "WINEPREFIX": os.path.join(self.root, "prefix"),
            "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml=",
        }
        env = dict(os.environ)
        env.update(self.env)
        env.pop("DISPLAY", None)
        subprocess.run(["wine", "wineboot", "-i"], env=env, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, timeout=300)
        # Xvfb has no window manager. Wine would wait two seconds for one at
        # every window it hides (a dialog and each of its shadows); as windows
        # of its own, they appear and vanish at once.
        subprocess.run(["wine", "reg", "add", "HKCU\\Software\\Wine\\X11 Driver", "/v", "Managed", "/d", "N", "/f"],
                       env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       check=True, timeout=120)
        self.stop()

    @staticmethod
    def path(unix_path):
        """The path as the Windows program sees it (drive Z: is the root)."""
        return "Z:" + os.path.abspath(unix_path).replace("/", "\\")

    def command(self, exe, args=()):
        return ["wine", exe, *args]

    def stop(self):
        env = dict(os.environ)
        env.update(self.env)
        subprocess.run(["wineserver", "-k"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)
        subprocess.run(["wineserver", "-w"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, timeout=60)


WINE = None


def use_wine():
    """Runs the programs under Wine from now on."""
    global WINE
    if WINE is None:
        WINE = Wine()


def program_path(unix_path):
    """A path handed to the program under test, in its platform's form."""
    return WINE.path(unix_path) if WINE else unix_path


def run_tool(tool, args, env=None, **kwargs):
    """Runs a helper program of the build (the image tool) to completion.
    Under Wine it must see the test's display: the first program of a Wine
    session decides the window driver of all that follow."""
    command = WINE.command(tool, args) if WINE else [tool, *args]
    tool_env = dict(env if env is not None else os.environ)
    if WINE:
        tool_env.update(WINE.env)
    return subprocess.run(command, env=tool_env, stdin=subprocess.DEVNULL, **kwargs)


def start_tool(tool, args, env, **kwargs):
    """Starts a helper program of the build (the virtual piano) with env."""
    command = WINE.command(tool, args) if WINE else [tool, *args]
    tool_env = dict(env)
    if WINE:
        tool_env.update(WINE.env)
    return subprocess.Popen(command, env=tool_env, stdin=subprocess.DEVNULL, **kwargs)


class Xvfb:
    def __init__(self, size="1280x1024x24"):
        r, w = os.pipe()
        self.proc = subprocess.Popen(
            ["Xvfb", "-displayfd", str(w), "-screen", "0", size, "-nolisten", "tcp"],
            pass_fds=(w,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(w)
        with os.fdopen(r) as f:
            self.display = ":" + f.readline().strip()

    def stop(self):
        self.proc.terminate()
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()


class App:
    """One running program; stdout lines are collected on a thread."""

    def __init__(self, exe, env, args=(), cwd=None, stderr=subprocess.DEVNULL):
        self.lines = []
        self._queue = queue.Queue()
        command = WINE.command(exe, args) if WINE else [exe, *args]
        self.proc = subprocess.Popen(command, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                     stderr=stderr, text=True, bufsize=1)
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for line in self.proc.stdout:
            self._queue.put(line.rstrip("\n"))
        self._queue.put(None)

    def _drain(self, timeout):
        try:
            item = self._queue.get(timeout=timeout)
        except queue.Empty:
            return False
        if item is None:
            return None
        self.lines.append(item)
        return True

    def wait_for(self, predicate, timeout):
        """Waits until a collected line satisfies predicate; returns it or None."""
        end = time.monotonic() + timeout
        for line in self.lines:
            if predicate(line):
                return line
        while time.monotonic() < end:
            got = self._drain(max(0.01, end - time.monotonic()))
            if got is None:
                return None
            if got and predicate(self.lines[-1]):
                return self.lines[-1]
        return None

    def wait_line(self, text, timeout):
        return self.wait_for(lambda l: text in l, timeout)

    def first_line(self, timeout):
        return self.wait_for(lambda l: True, timeout) if not self.lines else self.lines[0]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._reader.join(5)
        self.proc.stdout.close()


class Session:
    """A display, an instance name and a working folder for one test."""

    def __init__(self, exe, artefacts):
        self.exe = exe
        self.artefacts = artefacts
        os.makedirs(artefacts, exist_ok=True)
        self.xvfb = Xvfb()
        self.tmp = tempfile.mkdtemp(prefix="tamarind-e2e-")
        self.work = os.path.join(self.tmp, "work")
        os.makedirs(self.work)
        self.env = dict(os.environ)
        self.env.update({
            "DISPLAY": self.xvfb.display,
            "TAMARIND_MIDI": "virtual",
            "TAMARIND_INSTANCE_NAME": "e2e-" + uuid.uuid4().hex,
            "TAMARIND_WORK_DIR": program_path(self.work),
        })
        if WINE:
            self.env.update(WINE.env)
        self.apps = []

    def launch(self, args=(), extra_env=None):
        env = dict(self.env)
        env.update(extra_env or {})
        app = App(self.exe, env, args)
        self.apps.append(app)
        return app

    def xdotool(self, *args, check=True):
        return subprocess.run(["xdotool", *args], env=self.env, capture_output=True, text=True,
                              check=check, timeout=30).stdout

    def window(self, title, timeout=10):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            out = self.xdotool("search", "--onlyvisible", "--name", title, check=False).split()
            if out:
                return out
            time.sleep(0.1)
        return []

    def geometry(self, window_id):
        out = self.xdotool("getwindowgeometry", window_id)
        for line in out.splitlines():
            if "Geometry:" in line:
                w, h = line.split("Geometry:")[1].strip().split("x")
                return int(w), int(h)
        return None

    def window_icon(self, window_id):
        """The window's _NET_WM_ICON: width, height, then ARGB pixels; None when unset."""
        out = subprocess.run(["xprop", "-id", window_id, "-notype", "32c", "_NET_WM_ICON"], env=self.env,
                             capture_output=True, text=True, timeout=30).stdout
        if " = " not in out:
            return None
        return [int(v) for v in out.split(" = ", 1)[1].split(",")]

    def screenshot(self, name, window_id="root"):
        path = os.path.join(self.artefacts, name + ".png")
        subprocess.run(["import", "-window", window_id, path], env=self.env, check=False, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return path

    def close(self):
        for app in self.apps:
            app.stop()
        if WINE:
            WINE.stop()
        self.xvfb.stop()
        shutil.rmtree(self.tmp, ignore_errors=True)


def make_program_folder(root, exe, image_tool, rom_args=None, env=None):
    """A program folder with a copy of the executable, its Help.pdf and,
    when rom_args is given, an update.rom made by the image tool (run with env)."""
    folder = os.path.join(root, "program")
    os.makedirs(folder, exist_ok=True)
    target = os.path.join(folder, os.path.basename(exe))
    shutil.copy2(exe, target)
    help_pdf = os.path.join(os.path.dirname(exe), "Help.pdf")
    if os.path.exists(help_pdf):
        shutil.copy2(help_pdf, folder)
    if rom_args is not None:
        run_tool(image_tool, ["make", program_path(os.path.join(folder, "update.rom")), *rom_args], env=env,
                 check=True, stdout=subprocess.DEVNULL, timeout=60)
    return target


def click_content(session, window_id, content_size, x, y):
    """Clicks at (x, y) of a window's content, whatever frame the window has.
    Under Wine a new window may still be placed and set up after it appears,
    and the pointer's move must reach it before the click: clicks are paced."""
    if WINE:
        time.sleep(0.5)
    w, h = session.geometry(window_id)
    cw, ch = content_size
    ox = (w - cw) // 2
    oy = h - ch - ox
    session.xdotool("mousemove", "--window", window_id, str(ox + x), str(oy + y))
    time.sleep(0.3 if WINE else 0.1)
    session.xdotool("click", "1")
