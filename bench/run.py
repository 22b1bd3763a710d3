#!/usr/bin/env python3
"""Benchmarks of twk-hook against the least possible forwarder and the
forwarders a user would otherwise write.

Build first (the script builds nothing):

    cmake --preset release -DTWK_BENCH=ON && cmake --build --preset release
    python3 bench/run.py                  # two to three minutes
    python3 bench/run.py --scale 0.2      # a quick look

What it does:
  * generates three hook events deterministically: a typical 3 KB
    pre-tool-use event, a 1 MB post-tool-use event whose tool_response is
    one large string of source text, and a 5 MB post-tool-use event made of
    twenty thousand small objects;
  * checks once per input that the body twk-hook sends carries the input
    (against a capturing Core inside this script);
  * starts the reference Core (twk-backend) and the trivial Core once each;
  * for every Core and every input, runs the forwarders (floor, twk-hook,
    curl, python) in turn, round after round, and reports the median wall
    time of each, its ratio to the floor measured in the same rounds, its
    median CPU time and its peak RSS;
  * cold start: no Core running, twk-hook starts the reference Core and
    prints the decision; Core is killed between runs;
  * the reference Core's own time per request, with wrk.

Every process is timed from spawn to exit, standard input read from the
input file, standard output to /dev/null.
"""
import argparse
import ctypes
import json
import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
MIB = 1024 * 1024

# ---------------------------------------------------------------- inputs


class Rng:
    """xorshift64*: the same numbers on every Python version."""

    def __init__(self, seed):
        self.s = seed or 1

    def next(self):
        s = self.s
        s ^= (s >> 12)
        s ^= (s << 25) & 0xFFFFFFFFFFFFFFFF
        s ^= (s >> 27)
        self.s = s
        return (s * 0x2545F4914F6CDD1D) & 0xFFFFFFFFFFFFFFFF

    def below(self, n):
        return self.next() % n

    def pick(self, items):
        return items[self.below(len(items))]

    def hex(self, n):
        return "".join("0123456789abcdef"[self.below(16)] for _ in range(n))

    def uuid(self):
        return "-".join(self.hex(n) for n in (8, 4, 4, 4, 12))


WORDS = ("order invoice customer shipping total price tax discount cart item "
         "stock warehouse refund payment token session retry cache queue "
         "worker batch report export import config schema migration").split()
NON_ASCII = ("café", "naïve", "Größe", "→", "日本語", "Ünïcödé", "ø", "🚀",
             "€", "—", "привет")


def common(rng, event):
    session = rng.uuid()
    return {
        "session_id": session,
        "transcript_path":
            f"/home/dev/.claude/projects/-home-dev-work-shop/{session}.jsonl",
        "cwd": "/home/dev/work/shop",
        "permission_mode": "default",
        "hook_event_name": event,
    }


def small_event(rng):
    """A typical pre-tool-use event for the Bash tool, about 3 KB."""
    lines = ["cd /home/dev/work/shop && git status --short"]
    while sum(len(l) + 1 for l in lines) < 2450:
        w1, w2 = rng.pick(WORDS), rng.pick(WORDS)
        lines.append(rng.pick([
            f"grep -rn \"{w1}_{w2}\" src/ --include='*.py' | head -20",
            f"python -m pytest tests/test_{w1}.py -k \"{w2} and not slow\" -q",
            f"echo \"{w1}\t{w2}: {rng.pick(NON_ASCII)}\" >> /tmp/{w1}.log",
            f"sed -i 's/{w1}/{w2}/g' src/{w1}/{w2}.py",
            f"find . -name '*{w1}*' -newer src/{w2}.py -print",
        ]))
    event = common(rng, "PreToolUse")
    event.update({
        "tool_name": "Bash",
        "tool_input": {
            "command": "\n".join(lines),
            "description": "Run the checks for the order and refund modules",
            "timeout": 120000,
        },
        "tool_use_id": "toolu_01" + rng.hex(22),
    })
    return event


def source_text(rng, size):
    """Source code: tabs, quotes, backslashes, non-ASCII comments."""
    out = []
    n = 0
    line_no = 1
    while n < size:
        w1, w2, w3 = rng.pick(WORDS), rng.pick(WORDS), rng.pick(WORDS)
        indent = "\t" * rng.below(4)
        line = rng.pick([
            f"def {w1}_{w2}(self, {w3}=None):",
            f"{indent}return self._{w1}.get(\"{w2}\", {rng.below(1000)})",
            f"{indent}# {w1} {rng.pick(NON_ASCII)} {w2} — see \"{w3}\"",
            f"{indent}path = \"C:\\\\data\\\\{w1}\\\\{w2}.csv\"",
            f"{indent}log.info('{w1}: %s', {w2}[\"{w3}\"])",
            f"{indent}if {w1} and not {w2}:\t# {rng.pick(NON_ASCII)}",
            "",
        ])
        line = f"{line_no:6}\t{line}"
        out.append(line)
        n += len(line.encode()) + 1
        line_no += 1
    return "\n".join(out)


def string_event(rng):
    """A post-tool-use event whose tool_response is one 1 MB string."""
    event = common(rng, "PostToolUse")
    event.update({
        "tool_name": "Read",
        "tool_input": {"file_path": "/home/dev/work/shop/src/engine.py"},
        "tool_response": source_text(rng, 1_000_000),
        "tool_use_id": "toolu_01" + rng.hex(22),
    })
    return event


def json_heavy_event(rng):
    """A post-tool-use event with tens of thousands of small objects."""
    rows = []
    n = 0
    i = 0
    while n < 4_950_000:
        row = {
            "id": i,
            "uuid": rng.uuid(),
            "name": f"{rng.pick(WORDS)} {rng.pick(WORDS)}",
            "score": rng.below(10_000_000) / 1000,
            "balance": (rng.below(2_000_000) - 1_000_000) / 100,
            "active": rng.below(2) == 1,
            "tags": [rng.pick(WORDS) for _ in range(rng.below(4))],
            "meta": {"v": rng.below(100), "src": rng.pick(NON_ASCII),
                     "ratio": rng.below(1000) * 1e-7, "big": rng.next()},
            "note": None,
        }
        rows.append(row)
        n += len(json.dumps(row, ensure_ascii=False).encode()) - 20
        i += 1
    event = common(rng, "PostToolUse")
    event.update({
        "tool_name": "mcp__warehouse__query",
        "tool_input": {"sql": "SELECT * FROM stock WHERE active"},
        "tool_response": {"rows": rows, "count": len(rows),
                          "elapsed_ms": 12.5, "truncated": False},
        "tool_use_id": "toolu_01" + rng.hex(22),
    })
    return event


def write_inputs(directory):
    inputs = []
    for name, hook, make, seed in (
            ("3KB event", "pre-tool-use", small_event, 1),
            ("1MB string", "post-tool-use", string_event, 2),
            ("5MB JSON", "post-tool-use", json_heavy_event, 3)):
        text = json.dumps(make(Rng(seed)), ensure_ascii=False,
                          separators=(",", ":")).encode()
        path = os.path.join(directory, name.replace(" ", "_") + ".json")
        with open(path, "wb") as f:
            f.write(text)
        inputs.append({"name": name, "hook": hook, "path": path,
                       "size": len(text)})
    return inputs


# ------------------------------------------------------------- processes


def become_subreaper():
    """Orphaned Cores started by the hook become our children, so they can
    be killed and reaped here."""
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except OSError:
        pass


def spawn_timed(argv, env, stdin_path, capture=False, usage_out=None):
    """Runs argv to its end; returns (seconds, status, output, errors).
    The child's CPU time (user + system) goes to usage_out, a list."""
    fd = os.open(stdin_path, os.O_RDONLY)
    actions = [(os.POSIX_SPAWN_DUP2, fd, 0)]
    pipes = []
    for target in (1, 2):
        if capture:
            r, w = os.pipe()
            actions.append((os.POSIX_SPAWN_DUP2, w, target))
            pipes.append((r, w))
        else:
            actions.append((os.POSIX_SPAWN_OPEN, target, os.devnull,
                            os.O_WRONLY, 0))
    start = time.perf_counter()
    pid = os.posix_spawn(argv[0], argv, env, file_actions=actions)
    texts = [b"", b""]
    if capture:
        for _, w in pipes:
            os.close(w)
        # Small outputs only: read one pipe after the other.
        for i, (r, _) in enumerate(pipes):
            while chunk := os.read(r, 65536):
                texts[i] += chunk
            os.close(r)
    _, status, usage = os.wait4(pid, 0)
    elapsed = time.perf_counter() - start
    os.close(fd)
    if usage_out is not None:
        usage_out.append(usage.ru_utime + usage.ru_stime)
    return elapsed, status, texts[0], texts[1]


def peak_rss(paths, argv, env, stdin_path):
    """The peak RSS of argv in bytes. The ru_maxrss of a child spawned from
    this (large) Python process would include our own size, so the child is
    started through the small peak_rss helper."""
    _, status, _, errors = spawn_timed([paths["peak_rss"]] + argv, env,
                                       stdin_path, capture=True)
    for line in errors.decode(errors="replace").splitlines():
        if line.startswith("peak_rss_kib "):
            return int(line.split()[1]) * 1024
    raise SystemExit(f"no peak RSS for {argv[0]} (status {status})")


def wait_for_record(path, pid=None, timeout=10.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            with open(path, "rb") as f:
                record = json.loads(f.read())
            if pid is None or record.get("pid") == pid:
                return record
        except (OSError, ValueError):
            pass
        time.sleep(0.005)
    raise SystemExit(f"no endpoint record at {path} after {timeout} s")


def kill_and_reap(pid):
    try:
        os.kill(pid, signal.SIGKILL)
    except ProcessLookupError:
        return
    try:
        os.waitpid(pid, 0)
    except ChildProcessError:
        # Not ours to reap (no subreaper): wait until it is gone.
        while os.path.exists(f"/proc/{pid}"):
            with open(f"/proc/{pid}/stat") as f:
                if f.read().split(") ")[1].startswith("Z"):
                    break
            time.sleep(0.001)


class Core:
    def __init__(self, name, binary, args, workdir):
        self.name = name
        self.binary = binary
        self.dir = os.path.join(workdir, name)
        os.makedirs(self.dir)
        self.endpoint = os.path.join(self.dir, "endpoint.json")
        # A state directory of its own: the benchmark's requests must not
        # end up in the user's audit log.
        env = dict(os.environ, TWK_ENDPOINT_FILE=self.endpoint,
                   TARNWICK_HOME=os.path.join(self.dir, "state"))
        self.log = open(os.path.join(self.dir, "core.log"), "wb")
        self.proc = subprocess.Popen([binary] + args, env=env,
                                     stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=self.log)
        self.record = wait_for_record(self.endpoint, self.proc.pid)
        self.url = self.record["url"]
        self.token = self.record["token"]

    def hook_env(self, base):
        # TWK_CORE_BINARY makes the recorded pid's executable the one the
        # hook expects, so it trusts the record.
        return dict(base, TWK_ENDPOINT_FILE=self.endpoint,
                    TWK_CORE_BINARY=self.binary,
                    TARNWICK_HOME=os.path.join(self.dir, "state"))

    def stop(self):
        self.proc.kill()
        self.proc.wait()
        self.log.close()


class CaptureCore:
    """A Core inside this process that keeps the bodies it gets, to check
    what twk-hook sends. It runs in this Python process, so the hook is
    pointed at this interpreter as its Core binary."""

    def __init__(self, workdir):
        import http.server
        import threading
        bodies = self.bodies = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                n = int(self.headers.get("Content-Length", "0"))
                bodies.append(self.rfile.read(n))
                reply = b'{"output":null}'
                self.send_response(200)
                self.send_header("Content-Length", str(len(reply)))
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *args):
                pass

        self.server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        self.dir = os.path.join(workdir, "capture")
        os.makedirs(self.dir)
        self.endpoint = os.path.join(self.dir, "endpoint.json")
        with open(self.endpoint, "w") as f:
            json.dump({"url": "http://127.0.0.1:%d" % self.server.server_port,
                       "token": "check", "pid": os.getpid()}, f)

    def stop(self):
        self.server.shutdown()


def check_bodies(paths, inputs, workdir, base_env):
    """Runs twk-hook once per input against a capturing Core; its body must
    carry the same JSON value as the input, and is compared byte for byte
    with Python's canonical form of it (which writes a few doubles
    differently, e.g. 1e15 as 1000000000000000.0)."""
    core = CaptureCore(workdir)
    env = dict(base_env, TWK_ENDPOINT_FILE=core.endpoint,
               TWK_CORE_BINARY=os.path.realpath(sys.executable),
               TARNWICK_HOME=os.path.join(core.dir, "state"))
    notes = []
    try:
        for inp in inputs:
            del core.bodies[:]
            argv = [paths["hook"], "claude-code", inp["hook"]]
            _, status, output, _ = spawn_timed(argv, env, inp["path"],
                                               capture=True)
            check_output("twk-hook (body check)", status, output)
            if len(core.bodies) != 1:
                raise SystemExit("body check: the capturing Core got "
                                 f"{len(core.bodies)} requests")
            with open(inp["path"], "rb") as f:
                event = json.loads(f.read())
            expected = {"agent": "claude-code", "context": {},
                        "hook": inp["hook"], "input": event}
            body = core.bodies[0]
            if json.loads(body) != expected:
                raise SystemExit(f"body check: twk-hook sent another value "
                                 f"for {inp['name']}")
            python = json.dumps(expected, sort_keys=True,
                                separators=(",", ":"),
                                ensure_ascii=False).encode()
            same = "identical to" if body == python else "same value as"
            notes.append(f"{inp['name']}: {same} Python's canonical body")
    finally:
        core.stop()
    return notes


# ------------------------------------------------------------ measuring


def forwarders(paths, core, inp, base_env):
    hook = inp["hook"]
    env = core.hook_env(base_env)
    return [
        ("floor", [paths["floor"], hook, core.url, core.token], env),
        ("twk-hook", [paths["hook"], "claude-code", hook], env),
        ("curl", ["/bin/sh", paths["curl"], hook, core.url, core.token], env),
        ("python", [sys.executable, paths["python"], "claude-code", hook],
         env),
    ]


def check_output(name, status, output):
    text = output.decode(errors="replace")
    if status != 0:
        raise SystemExit(f"{name} ended with status {status}: {text}")
    if "couldn't check" in text:
        raise SystemExit(f"{name} got no decision from Core: {text}")


def measure(paths, cores, inputs, runs, base_env):
    results = []
    for core in cores:
        for inp in inputs:
            fws = forwarders(paths, core, inp, base_env)
            for name, argv, env in fws:  # one checked run, also a warm-up
                _, status, output, _ = spawn_timed(argv, env, inp["path"],
                                                   capture=True)
                check_output(name, status, output)
            n = runs[inp["name"]]
            times = {name: [] for name, _, _ in fws}
            cpu = {name: [] for name, _, _ in fws}
            for r in range(n):
                # Each round starts with another forwarder, so that none is
                # always first after the previous round.
                order = fws[r % len(fws):] + fws[:r % len(fws)]
                for name, argv, env in order:
                    t, status, _, _ = spawn_timed(argv, env, inp["path"],
                                                  usage_out=cpu[name])
                    if status != 0:
                        raise SystemExit(f"{name} failed during the runs")
                    times[name].append(t)
            rss = {name: max(peak_rss(paths, argv, env, inp["path"])
                             for _ in range(3))
                   for name, argv, env in fws}
            floor = statistics.median(times["floor"])
            for name, _, _ in fws:
                med = statistics.median(times[name])
                results.append({
                    "core": core.name, "input": inp["name"],
                    "size": inp["size"], "forwarder": name, "runs": n,
                    "median": med, "ratio": med / floor,
                    "p10": quantile(times[name], 0.1),
                    "p90": quantile(times[name], 0.9),
                    "rss": rss[name],
                    "cpu": statistics.median(cpu[name]),
                })
            print(f"  measured {core.name} / {inp['name']}", file=sys.stderr)
    return results


def quantile(values, q):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q * len(ordered)))]


def cold_starts(paths, inp, runs, workdir, base_env):
    """twk-hook with no Core running: it starts the reference Core, which
    is killed again before the next run."""
    state = os.path.join(workdir, "cold")
    os.makedirs(state)
    endpoint = os.path.join(state, "endpoint.json")
    env = dict(base_env, TARNWICK_HOME=state, TWK_ENDPOINT_FILE=endpoint,
               TWK_CORE_BINARY=paths["backend"],
               TWK_CORE_IDLE_EXIT_SECONDS="60")
    argv = [paths["hook"], "claude-code", inp["hook"]]
    times = []
    for _ in range(runs):
        t, status, output, _ = spawn_timed(argv, env, inp["path"],
                                           capture=True)
        check_output("twk-hook (cold)", status, output)
        times.append(t)
        record = wait_for_record(endpoint, timeout=2.0)
        kill_and_reap(record["pid"])
        os.unlink(endpoint)
    return times


def run_wrk(paths, core, body_path, seconds):
    env = dict(os.environ, TWK_TOKEN=core.token, TWK_BODY_FILE=body_path)
    out = subprocess.run(
        ["wrk", "-t1", "-c1", f"-d{seconds}s", "-s", paths["wrk_lua"],
         core.url + "/v1/policy/hook"],
        env=env, capture_output=True, text=True, check=True).stdout
    for line in out.splitlines():
        if line.startswith("latency_us"):
            return dict(kv.split("=") for kv in line.split()[1:])
    raise SystemExit("wrk printed no latency line:\n" + out)


# -------------------------------------------------------------- report


def machine():
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return (f"{cpu}, {os.cpu_count()} CPUs, Linux {platform.release()}, "
            f"Python {platform.python_version()}")


def size_text(n):
    return f"{n / MIB:.2f} MiB" if n >= MIB else f"{n / 1024:.1f} KiB"


def print_report(results, cold, wrk, inputs, hook_size, notes):
    print(f"machine: {machine()}")
    print("inputs: " + ", ".join(f"{i['name']} = {size_text(i['size'])}"
                                 for i in inputs))
    print(f"twk-hook: {hook_size} bytes")
    for note in notes:
        print(f"body check, {note}")
    print()
    header = (f"{'core':<12} {'input':<11} {'forwarder':<9} {'runs':>4} "
              f"{'median ms':>10} {'p10-p90 ms':>16} {'x floor':>8} "
              f"{'CPU ms':>8} {'peak RSS':>10}")
    print(header)
    print("-" * len(header))
    last = None
    for r in results:
        key = (r["core"], r["input"])
        if last is not None and key != last:
            print()
        last = key
        spread = f"{r['p10'] * 1e3:.2f}-{r['p90'] * 1e3:.2f}"
        print(f"{r['core']:<12} {r['input']:<11} {r['forwarder']:<9} "
              f"{r['runs']:>4} {r['median'] * 1e3:>10.2f} {spread:>16} "
              f"{r['ratio']:>8.2f} {r['cpu'] * 1e3:>8.2f} "
              f"{size_text(r['rss']):>10}")
    if cold:
        print()
        print(f"cold start (twk-hook starts the reference Core, "
              f"{len(cold)} runs): median {statistics.median(cold) * 1e3:.1f} "
              f"ms, p10 {quantile(cold, 0.1) * 1e3:.1f} ms, "
              f"p90 {quantile(cold, 0.9) * 1e3:.1f} ms")
    for name, w in wrk.items():
        print(f"wrk, {name}, 3KB body, one connection per request "
              f"(median of 3 rounds): p50 {int(w['p50'])} us, "
              f"p90 {int(w['p90'])} us, p99 {int(w['p99'])} us, "
              f"{int(w['requests'])} requests a round "
              f"({int(w['errors'])} errors)")
    print()
    print_targets(results, cold, inputs, wrk)


def print_targets(results, cold, inputs, wrk):
    def row(core, inp, fw):
        for r in results:
            if (r["core"], r["input"], r["forwarder"]) == (core, inp, fw):
                return r
        return None

    checks = []
    for core in sorted({r["core"] for r in results}):
        for inp, limit in (("3KB event", 1.2), ("1MB string", 2.0),
                           ("5MB JSON", 5.0)):
            h = row(core, inp, "twk-hook")
            if h:
                checks.append((f"{core}, {inp}: within {limit}x floor",
                               f"{h['ratio']:.2f}x", h["ratio"] <= limit))
        h, p = row(core, "5MB JSON", "twk-hook"), row(core, "5MB JSON",
                                                      "python")
        if h and p:
            speedup = p["median"] / h["median"]
            checks.append((f"{core}, 5MB JSON: >= 4x faster than python",
                           f"{speedup:.1f}x", speedup >= 4))
    if cold:
        med = statistics.median(cold) * 1e3
        checks.append(("cold start median < 35 ms", f"{med:.1f} ms",
                       med < 35))
    sizes = {i["name"]: i["size"] for i in inputs}
    for inp in sizes:
        rss = max((r["rss"] for r in results
                   if r["input"] == inp and r["forwarder"] == "twk-hook"),
                  default=None)
        if rss is None:
            continue
        if inp == "3KB event":
            checks.append((f"peak RSS, {inp} < 2 MiB", size_text(rss),
                           rss < 2 * MIB))
        else:
            checks.append((f"peak RSS, {inp} < 8x input",
                           f"{rss / sizes[inp]:.2f}x", rss < 8 * sizes[inp]))
    if "twk-backend" in wrk and "trivial" in wrk:
        # Core's own time: what it adds to the same exchange over a Core
        # that answers at once.
        own = wrk["twk-backend"]["p50"] - wrk["trivial"]["p50"]
        checks.append(("twk-backend's own time (wrk p50 - trivial) < 100 us",
                       f"{own:.0f} us", own < 100))
    print("targets:")
    for text, value, ok in checks:
        print(f"  {'met ' if ok else 'MISS'}  {text:<46} {value}")


# ----------------------------------------------------------------- main


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(ROOT, "build",
                                                            "release"))
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every run count by this")
    parser.add_argument("--cold-runs", type=int, default=30)
    parser.add_argument("--wrk-seconds", type=int, default=5)
    parser.add_argument("--only", choices=("warm", "cold", "wrk"),
                        help="run only one part")
    parser.add_argument("--core", choices=("twk-backend", "trivial"),
                        help="measure against this Core only")
    parser.add_argument("--input", choices=("3KB", "1MB", "5MB"),
                        help="measure this input only")
    parser.add_argument("--keep", action="store_true",
                        help="keep the temporary directory")
    args = parser.parse_args()

    build = os.path.abspath(args.build_dir)
    paths = {
        "hook": os.path.join(build, "twk-hook"),
        "backend": os.path.join(build, "twk-backend"),
        "floor": os.path.join(build, "bench", "floor"),
        "trivial": os.path.join(build, "bench", "trivial_core"),
        "peak_rss": os.path.join(build, "bench", "peak_rss"),
        "curl": os.path.join(HERE, "curl_forwarder.sh"),
        "python": os.path.join(HERE, "python_forwarder.py"),
        "wrk_lua": os.path.join(HERE, "wrk_post.lua"),
    }
    for key in ("hook", "backend", "floor", "trivial", "peak_rss"):
        if not os.access(paths[key], os.X_OK):
            raise SystemExit(
                f"{paths[key]} is missing; build with\n"
                "  cmake --preset release -DTWK_BENCH=ON && "
                "cmake --build --preset release")
    if shutil.which("curl") is None:
        raise SystemExit("curl is not installed")

    become_subreaper()
    scale = max(args.scale, 0.01)
    runs = {"3KB event": max(3, round(100 * scale)),
            "1MB string": max(3, round(30 * scale)),
            "5MB JSON": max(3, round(10 * scale))}
    # The hook reads nothing else from the environment; a project directory
    # of the caller's would change the body.
    base_env = {k: v for k, v in os.environ.items()
                if k not in ("CLAUDE_PROJECT_DIR", "TWK_HOOK_DEADLINE_MS")}

    workdir = tempfile.mkdtemp(prefix="twk-bench-")
    cores = []
    try:
        inputs = write_inputs(workdir)
        print("inputs written to " + workdir, file=sys.stderr)
        results, cold, wrk = [], [], {}
        notes = check_bodies(paths, inputs, workdir, base_env)
        if args.only in (None, "warm", "wrk"):
            cores = [Core("twk-backend", paths["backend"],
                          ["--port", "0", "--idle-exit", "600"], workdir),
                     Core("trivial", paths["trivial"], [], workdir)]
        if args.only in (None, "warm"):
            chosen_cores = [c for c in cores
                            if args.core in (None, c.name)]
            chosen_inputs = [i for i in inputs
                             if args.input in (None, i["name"][:3])]
            results = measure(paths, chosen_cores, chosen_inputs, runs,
                              base_env)
        if args.only in (None, "cold"):
            cold = cold_starts(paths, inputs[0],
                               max(3, round(args.cold_runs * scale)),
                               workdir, base_env)
        if args.only in (None, "wrk") and shutil.which("wrk"):
            body_path = os.path.join(workdir, "body.json")
            with open(inputs[0]["path"], "rb") as f:
                event = json.loads(f.read())
            with open(body_path, "wb") as f:
                f.write(json.dumps(
                    {"agent": "claude-code", "context": {},
                     "hook": "pre-tool-use", "input": event},
                    sort_keys=True, separators=(",", ":"),
                    ensure_ascii=False).encode())
            # Rounds alternate between the Cores, so that a noisy spell
            # on a shared machine hits both alike; each figure is the
            # median over the rounds.
            rounds = {}
            for _ in range(3):
                for core in cores:
                    rounds.setdefault(core.name, []).append(
                        run_wrk(paths, core, body_path, args.wrk_seconds))
            for name, runs in rounds.items():
                wrk[name] = {key: statistics.median(float(r[key])
                                                    for r in runs)
                             for key in runs[0]}
        print_report(results, cold, wrk, inputs,
                     os.path.getsize(paths["hook"]), notes)
    finally:
        for core in cores:
            core.stop()
        if args.keep:
            print("kept " + workdir, file=sys.stderr)
        else:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
