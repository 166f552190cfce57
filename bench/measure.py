#!/usr/bin/env python3
"""Times panelflash-local against a running `panelsim --line --report`.

usage: measure.py CHILD_USAGE TOOL WORKDIR SIM_STDOUT
CHILD_USAGE (built from child_usage.c) starts each run and reports its time and memory;
WORKDIR holds the `frontpanel` link; SIM_STDOUT is where panelsim's stdout goes.
BENCH_TOOL_ARGS, when set, holds options put before each operation (e.g. "-t"); the tool's
standard output and standard error go to a file in WORKDIR.
Exit 0 when the measurement ran (targets met or not), 1 when something broke.
"""
import collections
import os
import re
import statistics
import subprocess
import sys
import time

IMAGE_SIZE = 7680
FLASH_SIZE = 8192
WARMUP, RUNS = 1, 5
RUN_TIMEOUT_S = 60  # a run that hangs is ended by SIGALRM
REPORT_TIMEOUT_S = 5
# The targets the Performance section of docs/reliability.md states, no more and no less.
MAX_RATIO = 1.05  # median wall / line limit
MAX_CPU_SHARE = 0.025  # median user + system time / wall
MAX_RSS_KIB = 4096
MAX_READ_WAKEUPS = 2.5  # a read-out's voluntary context switches per block read
# -s -w against a full -w: of the image the panel holds, after a run killed at block 100 of
# 120, of an image that differs in every block (the read of each block first)
MAX_SKIP_SAME, MAX_SKIP_AFTER_KILL, MAX_SKIP_ALL_DIFFER = 0.35, 0.70, 1.25
KILLED_AT = "Program at 1900"  # block 100
SESSION = re.compile(r"^session: .*line limit ([0-9.]+) ms$")
PROGRAMMED_BLOCKS = IMAGE_SIZE // 64
READ_OUT_READS = FLASH_SIZE // 64 * 2  # each block read until two reads agree: twice

Run = collections.namedtuple("Run", "wall cpu rss switches session")


class BenchError(Exception):
    pass


class Bench:
    def __init__(self, child_usage, tool, workdir, sim_stdout):
        self.child_usage, self.tool = child_usage, tool
        self.workdir, self.sim_stdout = workdir, sim_stdout
        self.options = os.environ.get("BENCH_TOOL_ARGS", "").split()
        self.sessions_seen = len(self.sessions())

    def sessions(self):
        with open(self.sim_stdout, encoding="utf-8", errors="replace") as f:
            return [line.rstrip("\n") for line in f if SESSION.match(line)]

    def next_session(self):
        # panelsim prints its line when the exit packet arrives, possibly after the tool exited.
        deadline = time.monotonic() + REPORT_TIMEOUT_S
        while time.monotonic() < deadline:
            lines = self.sessions()
            if len(lines) > self.sessions_seen:
                if len(lines) > self.sessions_seen + 1:
                    raise BenchError(f"more than one session per run: {lines[self.sessions_seen:]}")
                self.sessions_seen += 1
                return lines[-1]
            time.sleep(0.01)
        raise BenchError("panelsim printed no session line")

    def run(self, *args, status=0):
        """One tool run, ending with `status`: wall and CPU in s, peak RSS in KiB, voluntary
        context switches."""
        log = os.path.join(self.workdir, "tool.log")
        out = subprocess.run([self.child_usage, log, str(RUN_TIMEOUT_S), self.tool, *self.options,
                              *args],
                             cwd=self.workdir, capture_output=True, text=True, check=False)
        if out.returncode != 0:
            raise BenchError(f"child_usage failed: {out.stderr.strip()}")
        code, wall, user, system, maxrss, switches = out.stdout.split()
        if code != str(status):
            with open(log, errors="replace") as f:
                tail = "\n".join(f.read().replace("\r", "\n").split("\n")[-4:])
            raise BenchError(f"{' '.join(args)} exited {code}:\n{tail}")
        return Run(float(wall), float(user) + float(system), int(maxrss), int(switches),
                   self.next_session())

    def read_out(self):
        dump = os.path.join(self.workdir, "dump.bin")
        if os.path.exists(dump):
            os.remove(dump)
        result = self.run("-r", "dump.bin")
        with open(dump, "rb") as f:
            data = f.read()
        if len(data) != FLASH_SIZE:
            raise BenchError(f"dump holds {len(data)} bytes, not {FLASH_SIZE}")
        return result, data

    def program(self, *options, image="image.bin"):
        return self.run(*options, "-w", image)

    def killed_at(self, text, image):
        """Starts -w of `image` and kills it once its output shows `text`: a run that ends
        without its session line, whose bytes the next session's line counts."""
        tool = subprocess.Popen([self.tool, "-w", image], cwd=self.workdir,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        seen = b""
        while text.encode() not in seen:
            chunk = tool.stdout.read1(4096)
            if not chunk:
                raise BenchError(f"-w {image} ended before {text!r}")
            seen += chunk
        tool.kill()
        tool.wait()


def measure(name, operation, blocks, max_wakeups=None, after_warmup=None, unit="block",
            against=None):
    """Runs and reports `operation`; `against` is (wall of another operation, its name, the
    largest share of it this one may take). Returns (targets met, median wall)."""
    print(f"\n== {name}: {WARMUP} warm-up + {RUNS} measured runs", flush=True)
    for _ in range(WARMUP):
        operation()
    if after_warmup:
        after_warmup()
    runs = [operation() for _ in range(RUNS)]
    walls = [r.wall for r in runs]
    limits = [float(SESSION.match(r.session).group(1)) / 1000 for r in runs]
    wall, limit = statistics.median(walls), statistics.median(limits)
    cpu_share = statistics.median(r.cpu / r.wall for r in runs)
    rss = max(r.rss for r in runs)
    switches = statistics.median(r.switches for r in runs)
    ratio = wall / limit
    checks = [(f"wall/line limit {ratio:.3f} <= {MAX_RATIO}", ratio <= MAX_RATIO),
              (f"CPU {cpu_share:.2%} of wall <= {MAX_CPU_SHARE:.1%}", cpu_share <= MAX_CPU_SHARE),
              (f"peak RSS {rss} KiB <= {MAX_RSS_KIB} KiB", rss <= MAX_RSS_KIB)]
    if against is not None:
        other_wall, other_name, max_share = against
        checks.append((f"wall {wall / other_wall:.2f} of {other_name} <= {max_share}",
                       wall / other_wall <= max_share))
    if max_wakeups is not None:
        checks.append((f"wake-ups {switches / blocks:.2f} a {unit} <= {max_wakeups}",
                       switches / blocks <= max_wakeups))
    print(f"  last session  {runs[-1].session.removeprefix('session: ')}")
    print(f"  wall          median {wall * 1000:.1f} ms  (min {min(walls) * 1000:.1f}, "
          f"max {max(walls) * 1000:.1f})")
    print(f"  line limit    median {limit * 1000:.1f} ms")
    print(f"  ratio         {ratio:.3f}  (median wall / line limit)")
    print(f"  CPU           median {cpu_share:.2%} of wall  "
          f"(user+sys {statistics.median(r.cpu for r in runs) * 1000:.1f} ms)")
    print(f"  peak RSS      {rss} KiB (max over runs)")
    print(f"  wake-ups      median {switches:.0f} voluntary context switches, "
          f"{switches / blocks:.2f} per {unit}")
    for text, ok in checks:
        print(f"  {'PASS' if ok else 'FAIL'}  {text}")
    return all(ok for _, ok in checks), wall


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    bench = Bench(*sys.argv[1:])
    if bench.options:
        print(f"tool options before each operation: {' '.join(bench.options)}")
    image = os.urandom(IMAGE_SIZE)
    with open(os.path.join(bench.workdir, "image.bin"), "wb") as f:
        f.write(image)

    def check_programmed():
        _, data = bench.read_out()
        if data[:IMAGE_SIZE] != image:
            raise BenchError("read-out after programming differs from the image")
        print(f"  read-back     first {IMAGE_SIZE} bytes match the image (after the warm-up)")

    other = os.urandom(IMAGE_SIZE)  # differs from the image in every block (all but surely)
    with open(os.path.join(bench.workdir, "other.bin"), "wb") as f:
        f.write(other)

    def skip_after_kill():
        # The other image, then the image programmed up to block 100; a compare ends the
        # killed run's session, so the measured run's line counts only itself.
        bench.program(image="other.bin")
        bench.killed_at(KILLED_AT, "image.bin")
        bench.run("-C", "image.bin", status=1)
        return bench.program("-s")

    images = ["other.bin", "image.bin"]

    def skip_all_differ():
        images.reverse()  # the panel holds the other one
        return bench.program("-s", image=images[0])

    try:
        ok, full = measure("program 7680 B with verification (-w)", bench.program,
                           PROGRAMMED_BLOCKS, after_warmup=check_programmed)
        ok &= measure("read-out 8192 B (-r)", lambda: bench.read_out()[0], READ_OUT_READS,
                      max_wakeups=MAX_READ_WAKEUPS, unit="block read")[0]
        ok &= measure("compare 7680 B with the image the panel holds (-C)",
                      lambda: bench.run("-C", "image.bin"), PROGRAMMED_BLOCKS)[0]
        ok &= measure("-s -w of the image the panel holds", lambda: bench.program("-s"),
                      PROGRAMMED_BLOCKS, against=(full, "-w", MAX_SKIP_SAME))[0]
        ok &= measure("-s -w after a run killed at block 100 of 120", skip_after_kill,
                      PROGRAMMED_BLOCKS, against=(full, "-w", MAX_SKIP_AFTER_KILL))[0]
        ok &= measure("-s -w of an image that differs in every block", skip_all_differ,
                      PROGRAMMED_BLOCKS, against=(full, "-w", MAX_SKIP_ALL_DIFFER))[0]
    except (BenchError, OSError) as e:
        print(f"bench: ERROR: {e}", file=sys.stderr)
        return 1
    print(f"\nall targets {'met' if ok else 'NOT met (see FAIL lines)'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
