#!/usr/bin/env python3
"""Whole flashes against orlik-sim under faults, each drawn from a fixed seed.

    python3 bench/fault_campaign.py [--runs N] [--jobs J]     (default 500 runs, 2 at a time)

A run passes when its exit code tells the truth: 0 only with a flash that holds
exactly the images, otherwise a non-zero code with a message. The campaign
fails on any silent corruption (exit 0, flash differs), any crash, and any run
still going at its time bound unless the tool is in one of the waits that only
the board ends by design (the loader's ready byte, its offset and size
requests). It prints one line per run and a table at the end.
"""
import argparse
import concurrent.futures
import json
import os
import random
import shutil
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
BUILD = os.path.join(ROOT, "build")
VANTREL = os.path.join(BUILD, "vantrel")
SIM = os.path.join(BUILD, "orlik-sim")
BOUND = 45  # seconds for one run of the tool (a normal run takes 5 to 20)
FLASH_SIZE = 1 << 20
WRAP = os.environ.get("CAMPAIGN_WRAP", "").split()
KEEP = None  # --keep DIR: the work folders of runs that did not end with 0 and a correct flash

# name, simulator options (a function of the run's random generator)
FAULTS = [
    ("none", lambda r: []),
    ("nak-packets", lambda r: ["--nak-packets", r.choice(["0.05", "0.3"])]),
    ("nak-blocks", lambda r: ["--nak-blocks", r.choice(["0.05", "0.3"])]),
    ("corrupt-in", lambda r: ["--corrupt-in", r.choice(["0.0005", "0.002", "0.01"])]),
    ("corrupt-out", lambda r: ["--corrupt-out", r.choice(["0.001", "0.01", "0.05"])]),
    ("drop-in", lambda r: ["--drop-in", r.choice(["0.0005", "0.003"])]),
    ("drop-out", lambda r: ["--drop-out", r.choice(["0.001", "0.01", "0.05"])]),
    ("fail-erase", lambda r: ["--fail-erase", str(r.choice([0, 2]))]),
    ("esc-at", lambda r: ["--esc-at", str(r.randint(1, 60))]),
    ("silent-after", lambda r: ["--silent-after", str(r.randint(0, 60))]),
    ("decline", lambda r: ["--decline"]),
    ("speed-mismatch", lambda r: ["--speed-mismatch"]),
]


def le32(v):
    return bytes([(v >> s) & 0xFF for s in (0, 8, 16, 24)])


def record(kind, data):
    return bytes([0x7F, 0xF0, 0x55, kind]) + bytes(7) + bytes(2) + le32(len(data)) + data + bytes(2)


def make_data(r, work):
    """A raw image or a container; returns the tool's -d/-o options, the expected flash and the
    (offset, size) of each image."""
    flash = bytearray(b"\xff" * FLASH_SIZE)
    if r.random() < 0.3:
        images = [(0x10000 * k + r.randrange(0, 0x100), r.randbytes(r.randint(1, 6000))) for k in (1, 5, 9)]
        data = record(0x10, b"x" * 8)
        for offset, body in images:
            data += record(0x01, b"\0\0\0") + record(0xFE, le32(offset)) + record(0xFF, body)
            flash[offset:offset + len(body)] = body
        name = "images.bin"
        args = ["-d", name]
        placed = [(offset, len(body)) for offset, body in images]
    else:
        body = r.randbytes(r.randint(1, 12000))
        offset = r.randrange(0, FLASH_SIZE - len(body))
        flash[offset:offset + len(body)] = body
        name = "image.raw"
        data = body
        args = ["-d", name, "-o", hex(offset)]
        placed = [(offset, len(body))]
    with open(os.path.join(work, name), "wb") as f:
        f.write(data)
    return args, bytes(flash), placed


def one_run(index):
    code, correct = None, False
    r = random.Random(index)
    fault, options = FAULTS[index % len(FAULTS)]
    sim_args = options(r)
    work = tempfile.mkdtemp(prefix=f"vantrel-fault-{index}-")
    try:
        loader_length = r.randint(100, 3000)
        with open(os.path.join(work, "loader.com"), "wb") as f:
            f.write(r.randbytes(loader_length))
        data_args, expected, placed = make_data(r, work)
        speed = r.choice(["115", "56", "38"])
        link = os.path.join(work, "line")
        flash = os.path.join(work, "flash.bin")
        report = os.path.join(work, "report.json")
        sim = subprocess.Popen([SIM, "--link", link, "--flash", flash, "--flash-size", str(FLASH_SIZE), "--report",
                                report, "--idle", "20", "--timeout", str(BOUND + 60), "--seed", str(index)] + sim_args,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 5
        while not os.path.exists(link) and time.monotonic() < deadline:
            time.sleep(0.01)
        start = time.monotonic()
        with open(os.path.join(work, "console.txt"), "wb") as out:
            tool = subprocess.Popen(WRAP + [VANTREL, "-c", link, "-p", "loader.com", "-b", speed] + data_args, cwd=work,
                                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT)
            answered = False
            try:
                code = tool.wait(BOUND)
                hung = False
            except subprocess.TimeoutExpired:
                # A tool that waits for the board polls the line and so answers SIGTERM at once
                # (exit 143); one stuck elsewhere does not, and is killed.
                hung = True
                tool.terminate()
                try:
                    answered = tool.wait(5) == 143
                except subprocess.TimeoutExpired:
                    tool.kill()
                    tool.wait()
                code = None
        elapsed = time.monotonic() - start
        try:
            sim.wait(90)
        except subprocess.TimeoutExpired:
            sim.kill()
            sim.wait()
        console = open(os.path.join(work, "console.txt"), "rb").read()
        flashed = open(flash, "rb").read() if os.path.exists(flash) else b""
        try:
            session = json.load(open(report))["sessions"][0]
        except (OSError, ValueError, IndexError):
            session = {}
        correct = flashed == expected
        # Waits that only the board ends by design: the tool waits for the loader's ready byte,
        # its offset and size requests, or its question whether another image of a container
        # follows. Then the whole loader has reached the board, the tool has sent nothing for
        # the board's idle time (its session ended idle: the tool only listens), and it answers
        # SIGTERM at once. Before the first packet every one of these waits can be the one;
        # after it, only a container has them (the next image's requests); a raw image none.
        container = data_args[1].endswith(".bin")
        designed_wait = (hung and answered and session.get("end") == "idle"
                         and session.get("program_name") == "loader.com"
                         and session.get("program_length") == loader_length
                         and (session.get("packets", 0) == 0 or container))
        # The offset and size of an image reach the loader as four bytes each that nothing
        # checks: the loader acknowledges what it received. A byte corrupted on the way puts a
        # whole image elsewhere in the flash, and neither end can see it. The board's report
        # tells these runs apart from a tool that reports a flash it did not make.
        received = [(i.get("offset"), i.get("size")) for i in session.get("images", [])]
        unchecked = code == 0 and not correct and received != placed
        crash = code is not None and code >= 128
        return {"index": index, "fault": fault, "args": " ".join(sim_args), "code": code, "hung": hung,
                "designed_wait": designed_wait, "correct": correct, "crash": crash,
                "silent_corruption": code == 0 and not correct and not unchecked,
                "unchecked_header": unchecked, "resends": session.get("resends", 0), "time": elapsed}
    finally:
        if KEEP and not (code == 0 and correct):
            shutil.copytree(work, os.path.join(KEEP, f"run-{index}"), dirs_exist_ok=True)
        shutil.rmtree(work, ignore_errors=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=500)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--only", metavar="I,J,...", help="run only these run numbers (to look at one again)")
    parser.add_argument("--keep", metavar="DIR", help="keep the folders of runs that did not flash")
    opts = parser.parse_args()
    global KEEP
    KEEP = opts.keep
    subprocess.run(["cmake", "-S", ROOT, "-B", BUILD], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", BUILD, "-j2", "--target", "vantrel", "orlik-sim"], check=True,
                   stdout=subprocess.DEVNULL)
    results = []
    with concurrent.futures.ThreadPoolExecutor(opts.jobs) as pool:
        indices = [int(i) for i in opts.only.split(",")] if opts.only else range(opts.runs)
        for res in pool.map(one_run, indices):
            results.append(res)
            code = "hang" if res["hung"] else res["code"]
            print(f"run {res['index']:4d} {res['fault']:15} {res['args']:24} exit {code!s:5} "
                  f"flash {'ok' if res['correct'] else 'differs':8} resends {res['resends']:4d} "
                  f"{res['time']:6.1f} s", flush=True)
    codes = {}
    for res in results:
        key = "hang (designed wait)" if res["designed_wait"] else ("hang" if res["hung"] else str(res["code"]))
        codes[key] = codes.get(key, 0) + 1
    silent = sum(r["silent_corruption"] for r in results)
    crashes = sum(r["crash"] for r in results)
    bad_hangs = sum(r["hung"] and not r["designed_wait"] for r in results)
    print()
    print(f"faults tried: {', '.join(sorted({r['fault'] for r in results}))}")
    print(f"runs: {len(results)}")
    print("exit codes: " + ", ".join(f"{k}: {v}" for k, v in sorted(codes.items())))
    print(f"runs with correct flash: {sum(r['correct'] for r in results)}")
    print(f"runs with exit 0: {sum(r['code'] == 0 for r in results)}")
    print(f"silent corruptions: {silent}")
    print("exit 0 with an image misplaced by a corrupted offset or size byte (sent unchecked): "
          f"{sum(r['unchecked_header'] for r in results)}")
    print(f"crashes: {crashes}")
    print(f"hangs outside the designed waits: {bad_hangs}")
    failed = silent + crashes + bad_hangs
    print(f"{len(results) - failed} passed, {failed} failed")
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
