"""Peak resident memory of the real Tamarind program under Xvfb: idle after it
has connected and checked "update.rom", and at the end of a full safe-path
update. The instrument is the virtual piano in its own process (over the tcp:
transport), so its flash does not count towards the program's memory.

Usage: memory.py --app PATH --virtual-piano PATH --image-tool PATH
"""
import argparse
import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "e2e"))
import harness  # noqa: E402

from harness import ASK_SIZE, DONE_SIZE, MAIN, MAIN_SIZE, OK, UPDATE_BUTTON, YES  # noqa: E402
# A link fast enough for a short run, slow enough that the update is sampled.
PIANO = "timing=1,link=400,latency=0.2,erase_ms=20,program_us=20"


def status_kib(pid):
    fields = {}
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            m = re.match(r"(VmHWM|VmRSS):\s+(\d+) kB", line)
            if m:
                fields[m.group(1)] = int(m.group(2))
    return fields


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--app", required=True)
    parser.add_argument("--virtual-piano", required=True)
    parser.add_argument("--image-tool", required=True)
    args = parser.parse_args()

    session = harness.Session(args.app, os.path.join(os.path.dirname(args.app), "bench-artefacts"))
    piano = subprocess.Popen([args.virtual_piano, "--listen", "0", "--config", PIANO], stdout=subprocess.PIPE,
                             text=True)
    try:
        port = re.search(r":(\d+)", piano.stdout.readline()).group(1)
        session.exe = harness.make_program_folder(session.tmp, args.app, args.image_tool,
                                                  ["--fill", "random:5"])
        app = session.launch(extra_env={"TAMARIND_MIDI": "tcp:127.0.0.1:" + port})
        if app.wait_line("Status: Piano connected.", 30) is None:
            print("memory: the program did not connect")
            return 1
        time.sleep(2)
        idle = status_kib(app.proc.pid)
        window = session.window(MAIN)[0]
        harness.click_content(session, window, MAIN_SIZE, *UPDATE_BUTTON)
        ask = session.window(r"^Start update\?$", timeout=15)
        harness.click_content(session, ask[0], ASK_SIZE, *YES)
        rss_during = []
        end = time.monotonic() + 300
        while time.monotonic() < end and not any(l == "Status: Update OK!" for l in app.lines):
            rss_during.append(status_kib(app.proc.pid)["VmRSS"])
            app.wait_for(lambda line: line == "Status: Update OK!", 0.2)
        if not any(l == "Status: Update OK!" for l in app.lines):
            print("memory: the update did not end with \"Update OK!\"")
            return 1
        after = status_kib(app.proc.pid)
        done = session.window(r"^Update finished!$", timeout=15)
        harness.click_content(session, done[0], DONE_SIZE, *OK)
        app.proc.wait(15)
        added = (after["VmHWM"] - idle["VmHWM"]) * 100.0 / idle["VmHWM"]
        print("memory of the GUI program (Xvfb, instrument in its own process):")
        print("  idle peak %.1f MiB (resident %.1f MiB); peak by the end of the update %.1f MiB "
              "(resident during the update up to %.1f MiB)" %
              (idle["VmHWM"] / 1024, idle["VmRSS"] / 1024, after["VmHWM"] / 1024, max(rss_during) / 1024))
        print("  the update adds %.1f %% to the peak (target < 20 %%)" % added)
        return 0
    finally:
        session.close()
        piano.terminate()
        piano.wait(10)


if __name__ == "__main__":
    sys.exit(main())
