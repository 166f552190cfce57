#!/usr/bin/env python3
"""Runs the tool against panelsim on a noisy line and counts what each run ended with.

usage: noise_sweep.py TOOL PANELSIM [--rates R,R,...] [--runs N] [--jobs J] [--no-line]
                      [--behaviours NAME,...] [--ops w,c,r] [--min-success FRACTION]
For each bootloader behaviour (BEHAVIOURS below: what panelsim's bootloader does where the
protocol leaves it open), each bit error rate and each operation, N runs against a fresh
panelsim running firmware 0104 with --bit-errors RATE --seed N (paced like 115200 baud
unless --no-line), whose flash is kept in a file and compared afterwards. The operations:
-w of a 7680-byte image of version 0106, right when the application area holds the image
and the bootloader area is as it was; -c, the same as `-c 106 -w`, where status 1 is a
wrong result too (a misread version); -r, right when the dump is the flash. Prints, per
behaviour, rate and operation: status 0 and right, wrong results, failures by status, and
the median time of a run. Exit 1 when any run ended with a wrong result, or when a share
of runs ending with status 0 and right is below --min-success; 2 when the sweep itself
broke; 0 otherwise.
"""
import argparse
import collections
import concurrent.futures
import os
import random
import signal
import statistics
import subprocess
import sys
import tempfile
import time

IMAGE_SIZE = 7680
FLASH_SIZE = 8192
RUN_TIMEOUT_S = 300  # far beyond what the tool's bounded waits allow

# The bootloader's open points, one choice each (panelsim --help): panelsim's own guess, and
# a bootloader that, once synchronised, only reads packets, varied one point at a time.
STRICT = ["--stray-bytes", "drop", "--synced-sync", "ignore", "--bootloader-request", "ignore"]
BEHAVIOURS = {
    "panelsim": [],
    "drop": ["--stray-bytes", "drop"],
    "no-resync": ["--synced-sync", "ignore", "--bootloader-request", "ignore"],
    "strict": STRICT,
    "strict-pause": STRICT + ["--packet-timeout", "20"],
    "strict-bad-acked": STRICT + ["--bad-writes", "ignore"],
    "strict-bad-silent": STRICT + ["--bad-writes", "unanswered"],
}


class SweepError(Exception):
    pass


def random_bytes(seed, size):
    rng = random.Random(seed)
    return bytes(rng.getrandbits(8) for _ in range(size))


def start_panelsim(panelsim, work, behaviour, rate, seed, line):
    args = [panelsim, "--link", "frontpanel", "--flash", "flash.bin",
            "--bit-errors", str(rate), "--seed", str(seed), "--version", "0104"]
    args += BEHAVIOURS[behaviour]
    if line:
        args.append("--line")
    with open(os.path.join(work, "panelsim.err"), "w", encoding="utf-8") as err:
        sim = subprocess.Popen(args, cwd=work, stdout=subprocess.DEVNULL, stderr=err)
    deadline = time.monotonic() + 10
    while not os.path.islink(os.path.join(work, "frontpanel")):
        if sim.poll() is not None or time.monotonic() > deadline:
            raise SweepError(f"panelsim did not start in {work}")
        time.sleep(0.02)
    return sim


def stop_panelsim(sim):
    sim.send_signal(signal.SIGTERM)
    try:
        sim.wait(timeout=10)
    except subprocess.TimeoutExpired as e:
        sim.kill()
        raise SweepError("panelsim did not stop") from e
    if sim.returncode != 0:
        raise SweepError(f"panelsim failed with status {sim.returncode}")


def one_run(tool, panelsim, behaviour, op, rate, seed, line):
    """Returns (status, right, seconds, last message) of one run against a fresh noisy
    panel."""
    with tempfile.TemporaryDirectory(prefix="panelflash-noise.") as work:
        before = random_bytes(seed * 2 + 1, FLASH_SIZE)
        # The firmware's version as panelsim reads it from the flash.
        image = bytearray(random_bytes(seed * 2, IMAGE_SIZE))
        image[8:18] = b"FWVER=0106"
        with open(os.path.join(work, "flash.bin"), "wb") as f:
            f.write(before)
        with open(os.path.join(work, "image.bin"), "wb") as f:
            f.write(image)
        sim = start_panelsim(panelsim, work, behaviour, rate, seed, line)
        args = {"-w": [tool, "-w", "image.bin"], "-c": [tool, "-c", "106", "-w", "image.bin"],
                "-r": [tool, "-r", "dump.bin"]}[op]
        started = time.monotonic()
        try:
            run = subprocess.run(args, cwd=work, capture_output=True, text=True,
                                 errors="replace", timeout=RUN_TIMEOUT_S)
            status = run.returncode
            said = (run.stdout + run.stderr).replace("\r", "\n").strip().split("\n")[-1]
        except subprocess.TimeoutExpired:
            status, said = "hang", ""
        seconds = time.monotonic() - started
        stop_panelsim(sim)
        with open(os.path.join(work, "flash.bin"), "rb") as f:
            after = f.read()
        if op in ("-w", "-c"):
            right = after[:IMAGE_SIZE] == image and after[IMAGE_SIZE:] == before[IMAGE_SIZE:]
            if op == "-c" and status == 1:
                status, right = 0, False  # the version misread: as wrong as a wrong flash
        else:
            dump_path = os.path.join(work, "dump.bin")
            right = os.path.exists(dump_path) and open(dump_path, "rb").read() == after
        return status, right, seconds, said


def sweep(args):
    """Returns the number of runs that ended with status 0 and a wrong result, and the
    number of (behaviour, rate, operation) rows whose share of right runs is too low."""
    wrong_results = 0
    short_rows = 0
    print(f"{'behaviour':<18} {'rate':>8} {'op':>3} {'runs':>5} {'0 right':>8} {'WRONG':>8} "
          f"{'failures by status':<24} {'median s':>9}")
    rows = [(behaviour, rate, op) for behaviour in args.behaviours for rate in args.rates
            for op in args.ops]
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        # Every run is queued at once, so that a row of long runs does not hold the others up;
        # the rows are printed in order as they complete.
        queued = [[pool.submit(one_run, args.tool, args.panelsim, behaviour, op, rate, seed,
                               args.line) for seed in range(1, args.runs + 1)]
                  for behaviour, rate, op in rows]
        for (behaviour, rate, op), futures in zip(rows, queued):
            results = [f.result() for f in futures]
            right = sum(1 for status, ok, _, _ in results if status == 0 and ok)
            wrong = sum(1 for status, ok, _, _ in results if status == 0 and not ok)
            failed = collections.Counter(str(s) for s, _, _, _ in results if s != 0)
            failures = ", ".join(f"{n}x {s}" for s, n in sorted(failed.items())) or "-"
            median = statistics.median(t for _, _, t, _ in results)
            print(f"{behaviour:<18} {rate:>8g} {op:>3} {len(results):>5} {right:>8} "
                  f"{wrong:>8} {failures:<24} {median:>9.2f}", flush=True)
            for seed, (status, ok, _, said) in enumerate(results, start=1):
                if status != 0 or not ok:
                    verdict = "wrong" if status == 0 else "failed"
                    print(f"  status {status}, {verdict}: seed {seed}: {said}")
            wrong_results += wrong
            if right < args.min_success * len(results):
                short_rows += 1
    return wrong_results, short_rows


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("tool")
    parser.add_argument("panelsim")
    parser.add_argument("--rates", default="0,1e-6,1e-5,1e-4",
                        type=lambda text: [float(r) for r in text.split(",")])
    parser.add_argument("--runs", type=int, default=100)
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--no-line", dest="line", action="store_false")
    parser.add_argument("--behaviours", default=",".join(BEHAVIOURS),
                        type=lambda text: text.split(","))
    parser.add_argument("--ops", default="w,c,r",
                        type=lambda text: ["-" + op for op in text.split(",")])
    parser.add_argument("--min-success", type=float, default=0.0)
    args = parser.parse_args()
    unknown = [b for b in args.behaviours if b not in BEHAVIOURS]
    if unknown:
        parser.error(f"unknown behaviours {unknown}; known: {', '.join(BEHAVIOURS)}")
    if not set(args.ops) <= {"-w", "-c", "-r"}:
        parser.error("--ops takes w, c and r")
    args.tool, args.panelsim = os.path.abspath(args.tool), os.path.abspath(args.panelsim)
    try:
        wrong, short_rows = sweep(args)
    except SweepError as e:
        print(f"noise sweep: {e}", file=sys.stderr)
        return 2
    if wrong:
        print(f"FAIL: {wrong} runs ended with status 0 and a wrong result")
    if short_rows:
        print(f"FAIL: {short_rows} rows with fewer than {args.min_success:.0%} of runs right")
    if wrong or short_rows:
        return 1
    print("PASS: no run ended with status 0 and a wrong result"
          + (f", every row at least {args.min_success:.0%} right" if args.min_success else ""))
    return 0


if __name__ == "__main__":
    sys.exit(main())
