#!/usr/bin/env python3
"""Soak run of twk-hook against the reference Core (not part of CI).

Build first (the script builds nothing), then:

    python3 bench/soak.py --build-dir build/release
    python3 bench/soak.py --build-dir build/release --warm 1000 --burst-runs 160

What it does, in a fresh state directory:
  * one cold run, in which the hook starts twk-backend with a short idle
    exit (--idle-exit, default 5 s);
  * --warm sequential warm runs (default 10,000), then --burst-runs runs in
    bursts of --burst-size hooks started at once (default 1,000 in bursts
    of 16);
  * every run must exit with status 0, write nothing to stderr and at most
    one line to stdout, that line must not be the "couldn't check this
    call" answer, and the run must end within its deadline; every other
    outcome is counted as a failure, by kind;
  * reports run times, the Core's open descriptors and resident memory
    before and after the runs, and whether it is still the same process;
  * then waits for the Core to end itself on its idle timer.

Exit status 0 when there was no failure and the Core ended on its timer.
"""
import argparse
import collections
import concurrent.futures
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

EVENT = (b'{"session_id":"soak","transcript_path":"/tmp/t.jsonl",'
         b'"cwd":"/home/user/project","hook_event_name":"PreToolUse",'
         b'"tool_name":"Bash","tool_input":{"command":"ls -la",'
         b'"description":"List files"}}')
UNCHECKED = "couldn't check this call"


def core_pid(endpoint):
    try:
        with open(endpoint, "rb") as f:
            text = f.read().decode("utf-8", "replace")
    except OSError:
        return None
    at = text.find('"pid":')
    if at < 0:
        return None
    digits = ""
    for c in text[at + 6:]:
        if not c.isdigit():
            break
        digits += c
    return int(digits) if digits else None


def running(pid):
    """True while pid runs (a zombie counts as ended)."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rfind(")") + 2] != "Z"


def core_usage(pid):
    """(open descriptors, resident set in kB) of a running process."""
    fds = len(os.listdir(f"/proc/{pid}/fd"))
    rss = None
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, rss


class Runs:
    """Outcomes of hook runs, collected from several threads."""

    def __init__(self, deadline_ms):
        self.deadline_ms = deadline_ms
        self.lock = threading.Lock()
        self.times = []
        self.failures = collections.Counter()
        self.outputs = collections.Counter()
        self.examples = {}

    def record(self, proc, elapsed_ms):
        out = proc.stdout.decode("utf-8", "replace")
        err = proc.stderr.decode("utf-8", "replace")
        kinds = []
        if proc.returncode != 0:
            kinds.append(f"exit status {proc.returncode}")
        if err:
            kinds.append("stderr output")
        if out.count("\n") > 1 or (out and not out.endswith("\n")):
            kinds.append("more than one line")
        if UNCHECKED in out:
            start = out.find("(") + 1
            kinds.append("unchecked: " + out[start:out.find(").", start)])
        if elapsed_ms > self.deadline_ms + 500:
            kinds.append("past the deadline")
        with self.lock:
            self.times.append(elapsed_ms)
            self.outputs[out] += 1
            for kind in kinds:
                self.failures[kind] += 1
                self.examples.setdefault(kind, (out + err)[:300])

    def summary(self):
        t = sorted(self.times)
        if not t:
            return "no runs"

        def pct(p):
            return t[min(len(t) - 1, int(p / 100 * len(t)))]

        return (f"{len(t)} runs: median {statistics.median(t):.2f} ms, "
                f"p99 {pct(99):.2f} ms, max {t[-1]:.2f} ms; "
                f"failures {sum(self.failures.values())}")


def run_hook(hook, env, runs):
    start = time.monotonic()
    proc = subprocess.run([hook, "claude-code", "pre-tool-use"], input=EVENT,
                          env=env, capture_output=True)
    runs.record(proc, (time.monotonic() - start) * 1000)
    return proc


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build-dir", default=os.path.join(ROOT, "build", "release"))
    ap.add_argument("--warm", type=int, default=10000)
    ap.add_argument("--burst-runs", type=int, default=1000)
    ap.add_argument("--burst-size", type=int, default=16)
    ap.add_argument("--idle-exit", type=int, default=5)
    ap.add_argument("--deadline-ms", type=int, default=8000)
    args = ap.parse_args()

    hook = os.path.join(args.build_dir, "twk-hook")
    backend = os.path.join(args.build_dir, "twk-backend")
    for path in (hook, backend):
        if not os.access(path, os.X_OK):
            sys.exit(f"soak: {path} is missing; build first")

    state = tempfile.mkdtemp(prefix="twk-soak-")
    endpoint = os.path.join(state, "endpoint.json")
    env = {
        "PATH": os.environ.get("PATH", "/usr/bin:/bin"),
        "HOME": state,
        "TARNWICK_HOME": state,
        "TWK_CORE_BINARY": backend,
        "TWK_CORE_IDLE_EXIT_SECONDS": str(args.idle_exit),
        "TWK_HOOK_DEADLINE_MS": str(args.deadline_ms),
    }
    ok = True
    pid = None
    try:
        cold = Runs(args.deadline_ms)
        run_hook(hook, env, cold)
        pid = core_pid(endpoint)
        if pid is None or not running(pid):
            print(f"soak: no Core after the cold run: {cold.examples}")
            return 1
        print(f"cold run: {cold.times[0]:.1f} ms, Core pid {pid}, "
              f"failures {dict(cold.failures) or 'none'}")
        fds_before, rss_before = core_usage(pid)
        print(f"Core before: {fds_before} open descriptors, RSS {rss_before} kB")

        warm = Runs(args.deadline_ms)
        began = time.monotonic()
        for _ in range(args.warm):
            run_hook(hook, env, warm)
        print(f"warm, sequential: {warm.summary()} "
              f"({time.monotonic() - began:.1f} s)")

        bursts = Runs(args.deadline_ms)
        began = time.monotonic()
        with concurrent.futures.ThreadPoolExecutor(args.burst_size) as pool:
            left = args.burst_runs
            while left > 0:
                n = min(left, args.burst_size)
                barrier = threading.Barrier(n)

                def one():
                    barrier.wait()
                    run_hook(hook, env, bursts)

                for f in [pool.submit(one) for _ in range(n)]:
                    f.result()
                left -= n
        print(f"bursts of {args.burst_size}: {bursts.summary()} "
              f"({time.monotonic() - began:.1f} s)")

        for name, runs in (("cold", cold), ("warm", warm), ("burst", bursts)):
            for kind, count in runs.failures.most_common():
                ok = False
                print(f"  {name} failure x{count}: {kind}")
                print(f"    e.g. {runs.examples[kind]!r}")
        outputs = warm.outputs + bursts.outputs
        print(f"distinct answers: {len(outputs)} "
              f"{[o[:80] for o in outputs][:3]}")

        same = core_pid(endpoint) == pid and running(pid)
        if not same:
            ok = False
        fds_after, rss_after = core_usage(pid) if running(pid) else (None, None)
        print(f"Core after: {fds_after} open descriptors, RSS {rss_after} kB, "
              f"same process: {same}")
        if fds_after is not None and fds_after > fds_before:
            print("  Core holds more descriptors than before")
            ok = False

        began = time.monotonic()
        limit = args.idle_exit + 15
        while running(pid) and time.monotonic() - began < limit:
            time.sleep(0.1)
        if running(pid):
            print(f"Core still running {limit} s after the last run")
            ok = False
        else:
            print(f"Core ended on its idle timer {time.monotonic() - began:.1f} s "
                  f"after the last run (idle exit {args.idle_exit} s); "
                  f"record left behind: {os.path.exists(endpoint)}")
    finally:
        if pid is not None and running(pid):
            os.kill(pid, signal.SIGKILL)
        shutil.rmtree(state, ignore_errors=True)
    print("soak: " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
