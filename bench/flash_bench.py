#!/usr/bin/env python3
"""Times whole flashes against orlik-sim --wire and compares them with what the
line can carry.

    python3 bench/flash_bench.py [--quick] [--case=TEXT]

For each case it prints the wall time of the phase, the wire-time floor computed
from the bytes actually exchanged at the phase's speed, their ratio, the
resends the board counted, the tool's CPU time as a share of the whole run's
wall time, and the tool's peak resident memory. Builds build/ if needed.
"""
import json
import os
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
VANTREL = os.path.join(BUILD, "vantrel")
SIM = os.path.join(BUILD, "orlik-sim")
BAUD = {"96": 9600, "19": 19200, "38": 38400, "56": 57600, "115": 115200}
PACKET, BLOCK = 132, 133
# The loader waits about 100 ms before its start signal, as a real one busy
# erasing does; that is the board's time, not the line's.
LOADER_START_DELAY = 0.100
YMODEM_PAUSE = 0.150  # the sender's fixed pause after each block


def build():
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "vantrel", "orlik-sim"], check=True,
                   stdout=subprocess.DEVNULL)


def peak_resident_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run_case(name, image_size, code, loader_size, erase_ms, chatter=0):
    work = tempfile.mkdtemp(prefix="vantrel-bench-")
    link = os.path.join(work, "orlik0")
    report = os.path.join(work, "report.json")
    with open(os.path.join(work, "loader.com"), "wb") as f:
        f.write(os.urandom(loader_size))
    with open(os.path.join(work, "image.raw"), "wb") as f:
        f.write(os.urandom(image_size))
    sim = subprocess.Popen([SIM, "--wire", "--erase-ms", str(erase_ms), "--link", link, "--report", report,
                            "--idle", "20", "--timeout", "3000", "--chatter", str(chatter)],
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    while not os.path.exists(link):
        time.sleep(0.01)
    start = time.monotonic()
    tool = subprocess.Popen([VANTREL, "-c", link, "-p", "loader.com", "-d", "image.raw", "-b", code], cwd=work,
                            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    # Time stamps of the console text: the loader is sent after "yload", the
    # flash phase runs from the "g" command's echo to the closing command's.
    console = b""
    marks = {}
    hwm_kib = 0
    os.set_blocking(tool.stdout.fileno(), True)
    while True:
        chunk = tool.stdout.read1(65536)
        if not chunk:
            break
        console += chunk
        hwm_kib = max(hwm_kib, peak_resident_kib(tool.pid))
        now = time.monotonic()
        for key, text in (("yload", b"yload 2000:0"), ("loaded", b"Loaded loader.com"),
                          ("g", b"g 2000:0"), ("closing", b"speed   96  0")):
            if key not in marks and text in console:
                marks[key] = now
    # The tool's own resource use, not that of other children (the build).
    _, status, usage = os.wait4(tool.pid, 0)
    tool.returncode = os.waitstatus_to_exitcode(status)
    end = time.monotonic()
    sim.wait()
    with open(report) as f:
        session = json.load(f)["sessions"][0]
    baud = BAUD[code]
    packets = session["packets"]
    # Every packet and its answer, the erase reports, the requests and the end marker.
    flash_bytes = packets * (PACKET + 1) + session["erases"] * 2 + 2 * (1 + 4 + 1) + 1 + 4 + 3
    # The board's own time: its start-signal delay and its block erases.
    flash_bytes += chatter  # the loader's own text crosses the line too
    flash_floor = flash_bytes * 10 / baud + LOADER_START_DELAY + session["erases"] * erase_ms / 1000
    blocks = session["ymodem_blocks"]
    # Per block the longer of the sender's pause and the block's time on the wire.
    ymodem_floor = blocks * max(YMODEM_PAUSE, (BLOCK + 1) * 10 / 9600)
    cpu = usage.ru_utime + usage.ru_stime
    # ru_maxrss would count the interpreter's copy before exec; the kernel's
    # high-water mark of the tool's own image is sampled while it runs.
    rss_kib = hwm_kib
    ok = tool.returncode == 0
    rows = []
    if "g" in marks and "closing" in marks:
        wall = marks["closing"] - marks["g"]
        rows.append((name + " flash", wall, flash_floor))
    if "yload" in marks and "loaded" in marks:
        rows.append((name + " ymodem", marks["loaded"] - marks["yload"], ymodem_floor))
    return {"rows": rows, "resends": session["resends"], "cpu_share": cpu / (end - start),
            "rss_mib": rss_kib / 1024, "exit": tool.returncode, "ok": ok, "run": end - start}


def main():
    quick = "--quick" in sys.argv
    build()
    mib = 1 << 20
    cases = [
        ("1 MiB at 115200, erase 0 ms", mib, "115", 4096, 0, 0),
        ("1 MiB at 115200, erase 25 ms", mib, "115", 4096, 25, 0),
        ("1 MiB at 57600", mib, "56", 4096, 0, 0),
        ("64 KiB at 9600", 64 * 1024, "96", 4096, 0, 0),
        ("16 KiB loader (YMODEM), 64 KiB at 115200", 64 * 1024, "115", 16 * 1024, 0, 0),
        ("64 KiB at 115200 after 100 KB of loader text", 64 * 1024, "115", 4096, 0, 100_000),
    ]
    if quick:
        cases = [("256 KiB at 115200", 256 * 1024, "115", 4096, 0, 0)]
    only = [a.split("=", 1)[1] for a in sys.argv if a.startswith("--case=")]
    if only:
        cases = [c for c in cases if only[0] in c[0]]
    print(f"{'case':52} {'wall s':>8} {'floor s':>8} {'ratio':>6} {'resends':>7} {'cpu %':>6} {'rss MiB':>7} exit")
    for name, size, code, loader, erase, chatter in cases:
        r = run_case(name, size, code, loader, erase, chatter)
        for label, wall, floor in r["rows"]:
            print(f"{label:52} {wall:8.2f} {floor:8.2f} {wall / floor:6.3f} {r['resends']:7d} "
                  f"{100 * r['cpu_share']:6.2f} {r['rss_mib']:7.2f} {r['exit']}")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
