#!/usr/bin/env python3
"""Tests in which the real agent host (Claude Code) runs twk-hook.

Each test starts a stand-in model (mock_model.py) inside a new network
namespace that has nothing but loopback, runs the host in that namespace
with the hooks wired in through --settings, and then looks at what really
happened: files the tool call made or left alone, the hook events in the
host's stream output, the tool_result the host sent back to the model, and
the Core that the hook started: how many, and what its audit log says.
Core is the real twk-backend from the build; unless a test writes a policy
file, it decides by its built-in policy, share/policy.example.yaml. Where
Core's answer carries a reason, the test asks `twk-backend explain` for the
answer to the same call and checks that the host got that one.

  run_host_tests.py --build-dir DIR [unittest options]

DIR holds the built twk-hook and twk-backend. The host is the pinned npm
package in $TWK_HOST_CACHE (default build/host-e2e); when it is missing,
scripts/host-deps.sh is run to install it. Only when the host cannot be
installed are the tests skipped, with exit status 77 and the reason. A
missing `unshare --net` (or anything else that keeps the host from being
shut off from the network) fails them.

Each test works in a directory of its own under $TWK_HOST_TEST_DIR (default
/var/lib/twk-host-tests), which must not be in a temporary directory: Core
leaves deletions there alone, so a home there would not show what it does
for a real one.
"""

import argparse
import hashlib
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from pathlib import Path

HERE = Path(__file__).resolve().parent
REPO = HERE.parent.parent
HOST_VERSION = "2.1.337"
HOST_BINARY_IN_CACHE = Path("node_modules/@anthropic-ai/claude-code-linux-x64/claude")
SKIP_STATUS = 77

# Longest a single host run may take before the test gives up on it; a run
# takes about a second here.
HOST_TIMEOUT_S = 120
# A safety net for Cores that a crashed test run could not kill.
CORE_IDLE_EXIT_S = "120"

NO_CORE_TEXT = "no Core binary was found"
ASK_PREFIX = "Vantorel couldn't check this call ("

# Where the tests' directories go, and the places Core treats as scratch
# space, which that must not be in.
RUN_ROOT = Path(os.environ.get("TWK_HOST_TEST_DIR") or "/var/lib/twk-host-tests")
TEMP_DIRS = ("/tmp", "/var/tmp", "/dev/shm")

sys.dont_write_bytecode = True  # leave no __pycache__ in the source tree

BUILD_DIR = None  # set by main()
HOST = None       # path of the host executable, set by main()
TIMINGS = {}      # test id -> list of host run times in seconds


# ---------------------------------------------------------------------------
# Finding or installing the host


def host_cache():
    return Path(os.environ.get("TWK_HOST_CACHE") or REPO / "build" / "host-e2e")


def host_version(binary):
    try:
        out = subprocess.run([str(binary), "--version"], capture_output=True, text=True,
                             timeout=60, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, str(e)
    return out.stdout.strip().split(" ")[0] if out.returncode == 0 else None, out.stderr.strip()


def find_or_install_host():
    """The host's executable, or (None, why it could not be had)."""
    binary = host_cache() / HOST_BINARY_IN_CACHE
    if binary.is_file():
        version, _ = host_version(binary)
        if version == HOST_VERSION:
            return binary, None
    print("host: %s %s not in %s; running scripts/host-deps.sh"
          % ("the agent host", HOST_VERSION, host_cache()), flush=True)
    try:
        out = subprocess.run([str(REPO / "scripts" / "host-deps.sh")], capture_output=True,
                             text=True, timeout=1800, stdin=subprocess.DEVNULL)
    except (OSError, subprocess.TimeoutExpired) as e:
        return None, "scripts/host-deps.sh could not run: %s" % e
    if out.returncode != 0:
        tail = "\n".join((out.stdout + out.stderr).strip().splitlines()[-15:])
        return None, "scripts/host-deps.sh failed (status %d):\n%s" % (out.returncode, tail)
    if not binary.is_file():
        return None, "scripts/host-deps.sh left no host executable at %s" % binary
    version, err = host_version(binary)
    if version != HOST_VERSION:
        return None, "the installed host reports version %r, not %s (%s)" % (
            version, HOST_VERSION, err)
    return binary, None


# ---------------------------------------------------------------------------
# Processes


def environ_of(pid):
    try:
        with open("/proc/%d/environ" % pid, "rb") as f:
            return f.read().split(b"\0")
    except OSError:
        return []


def alive(pid):
    """True while the process exists and is not a zombie."""
    try:
        with open("/proc/%d/stat" % pid, "rb") as f:
            stat = f.read()
    except OSError:
        return False
    return stat[stat.rindex(b")") + 2:stat.rindex(b")") + 3] != b"Z"


def pids_with_env(entry):
    """Processes whose environment holds exactly `entry` (bytes)."""
    found = []
    for name in os.listdir("/proc"):
        if name.isdigit() and int(name) != os.getpid() and entry in environ_of(int(name)):
            found.append(int(name))
    return found


def exe_of(pid):
    try:
        return os.path.realpath(os.readlink("/proc/%d/exe" % pid))
    except OSError:
        return None


def kill_and_wait(pids, timeout=5.0):
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass
    end = time.monotonic() + timeout
    while time.monotonic() < end and any(alive(p) for p in pids):
        time.sleep(0.02)
    return [p for p in pids if alive(p)]


# ---------------------------------------------------------------------------
# What a host run left


class HostRun:
    def __init__(self, returncode, seconds, stdout, stderr, model_log):
        self.returncode = returncode
        self.seconds = seconds
        self.stdout = stdout
        self.stderr = stderr
        self.events = []
        for line in stdout.splitlines():
            line = line.strip()
            if line:
                try:
                    self.events.append(json.loads(line))
                except ValueError:
                    pass  # not one of the stream's JSON lines
        self.model_requests = []
        if model_log.exists():
            for line in model_log.read_text(encoding="utf-8").splitlines():
                self.model_requests.append(json.loads(line))

    def describe(self):
        return "host exit %s after %.2f s\n--- stream ---\n%s\n--- stderr ---\n%s" % (
            self.returncode, self.seconds, self.stdout[-6000:], self.stderr[-3000:])

    def hook_events(self, subtype, hook_event):
        return [e for e in self.events if e.get("type") == "system"
                and e.get("subtype") == subtype and e.get("hook_event") == hook_event]

    def session_id(self):
        [init] = [e for e in self.events
                  if e.get("type") == "system" and e.get("subtype") == "init"]
        return init["session_id"]

    def tool_uses(self):
        """The tool_use blocks the host received, in order."""
        uses = []
        for e in self.events:
            if e.get("type") == "assistant":
                uses += [b for b in e["message"].get("content", []) if b.get("type") == "tool_use"]
        return uses

    def stream_tool_results(self):
        """tool_use_id -> the tool_result block as the stream shows it."""
        results = {}
        for e in self.events:
            if e.get("type") == "user" and isinstance(e["message"].get("content"), list):
                for b in e["message"]["content"]:
                    if b.get("type") == "tool_result":
                        results[b["tool_use_id"]] = b
        return results

    def tool_responses(self):
        """tool_use_id -> the tool's own result (the stream's
        tool_use_result), for the calls that ran."""
        responses = {}
        for e in self.events:
            if e.get("type") == "user" and isinstance(e.get("tool_use_result"), dict):
                [block] = [b for b in e["message"]["content"] if b.get("type") == "tool_result"]
                responses[block["tool_use_id"]] = e["tool_use_result"]
        return responses

    def model_tool_results(self):
        """tool_use_id -> the tool_result block as the host sent it to the model."""
        results = {}
        for r in self.model_requests:
            body = r.get("body")
            if not isinstance(body, dict):
                continue
            for m in body.get("messages", []):
                if isinstance(m.get("content"), list):
                    for b in m["content"]:
                        if isinstance(b, dict) and b.get("type") == "tool_result":
                            results[b["tool_use_id"]] = b
        return results


def fingerprint(value):
    """What the audit log records for a tool response: size and SHA-256 of
    its compact JSON text (keys sorted, as Core writes JSON)."""
    text = json.dumps(value, sort_keys=True, separators=(",", ":"),
                      ensure_ascii=False).encode("utf-8")
    return {"bytes": len(text), "sha256": hashlib.sha256(text).hexdigest()}


def result_text(block):
    content = block.get("content")
    if isinstance(content, list):
        return "".join(c.get("text", "") for c in content if isinstance(c, dict))
    return content or ""


def stamp(event):
    # "2026-01-01T10:00:00.123Z" sorts as text within one run.
    return event.get("written_at") or event.get("timestamp") or ""


# ---------------------------------------------------------------------------
# The fixture


class HostTestCase(unittest.TestCase):
    """Per test: a temporary directory for everything, a mock model in its
    own network namespace, and at the end every process started killed."""

    def setUp(self):
        self.tmp = Path(tempfile.mkdtemp(prefix="twk-host-", dir=RUN_ROOT)).resolve()
        self.home = self.tmp / "home"
        self.host_tmp = self.tmp / "tmp"
        self.work = self.tmp / "work"
        self.state = self.tmp / "twk"  # TARNWICK_HOME
        # False: the host runs without TARNWICK_HOME, so Core's state
        # directory is ~/.tarnwick; a test that clears it sets self.state so.
        self.state_in_env = True
        for d in (self.home, self.host_tmp, self.work):
            d.mkdir()
        self.model = None
        self.addCleanup(self._clean_up)

    def started_processes(self):
        """What the host started and what that started: all of it inherits
        HOME and, when set, TARNWICK_HOME (Core included, which the hook puts
        in a process group of its own)."""
        return set(pids_with_env(b"TARNWICK_HOME=" + bytes(self.state))
                   + pids_with_env(b"HOME=" + bytes(self.home)))

    def _clean_up(self):
        # The recorded Core is killed by its pid as well.
        pids = self.started_processes()
        record = self.read_record()
        if record and isinstance(record.get("pid"), int):
            pid = record["pid"]
            if b"TWK_ENDPOINT_FILE=" + bytes(self.state / "endpoint.json") in environ_of(pid):
                pids.add(pid)
        left = kill_and_wait(sorted(pids))
        if self.model is not None:
            if self.model.poll() is None:
                self.model.kill()
            self.model.wait(timeout=10)
        shutil.rmtree(self.tmp, ignore_errors=True)
        if left:
            self.fail("processes %s outlived SIGKILL" % left)

    # -- the model ---------------------------------------------------------

    def start_model(self, calls):
        """Starts the mock model in a new network namespace; its first answer
        asks for all `calls` in one turn: a text is a Bash command, else a
        {"name", "input"} tool use. Returns the tool uses."""
        uses = [{"name": "Bash", "input": {"command": c, "description": "step %d" % i}}
                if isinstance(c, str) else c for i, c in enumerate(calls, 1)]
        script = self.tmp / "model-script.json"
        script.write_text(json.dumps({"tool_uses": uses, "final_text": "All done."}))
        self.model_log = self.tmp / "model-requests.jsonl"
        port_file = self.tmp / "model-port"
        mock = [sys.executable, str(HERE / "mock_model.py"), "--script", str(script),
                "--log", str(self.model_log), "--port-file", str(port_file)]
        # unshare execs sh, which execs the mock: the child's pid is the
        # mock's, and its namespace is the one the host joins.
        self.model = subprocess.Popen(
            ["unshare", "--net", "sh", "-c",
             'ip link set lo up && exec "$@"', "sh"] + mock,
            stdin=subprocess.DEVNULL)
        end = time.monotonic() + 15
        while not port_file.exists():
            if self.model.poll() is not None:
                self.fail("the mock model in a new network namespace did not start "
                          "(status %s): `unshare --net` and `ip` must work here (as root)"
                          % self.model.returncode)
            if time.monotonic() > end:
                self.fail("the mock model did not report its port in time")
            time.sleep(0.02)
        self.model_port = int(port_file.read_text())
        self.netns = "/proc/%d/ns/net" % self.model.pid
        self.assertNotEqual(os.readlink(self.netns), os.readlink("/proc/self/ns/net"),
                            "the mock model is not in a network namespace of its own")
        links = subprocess.run(["nsenter", "--net=" + self.netns, "ip", "-o", "link", "show"],
                               capture_output=True, text=True, timeout=10)
        names = [l.split(":")[1].strip() for l in links.stdout.splitlines()]
        self.assertEqual(links.returncode, 0, links.stderr)
        self.assertEqual(names, ["lo"], "the host's namespace must have loopback only")
        return uses

    # -- the host ----------------------------------------------------------

    def write_settings(self, pre_command, post_command):
        settings = self.tmp / "settings.json"
        settings.write_text(json.dumps({"hooks": {
            "PreToolUse": [{"matcher": "*", "hooks": [{"type": "command", "command": pre_command}]}],
            "PostToolUse": [{"matcher": "*", "hooks": [{"type": "command", "command": post_command}]}],
        }}))
        return settings

    def hook_settings(self, hook):
        backend = Path(hook).parent / "twk-backend"
        if not backend.exists():
            q = shlex.quote(str(hook))
            return self.write_settings(q + " claude-code pre-tool-use",
                                       q + " claude-code post-tool-use")
        # Wired the way a user does it.
        settings = self.tmp / "settings.json"
        done = subprocess.run(
            [str(backend), "install", "--settings", str(settings)],
            capture_output=True, text=True, timeout=30)
        self.assertEqual(done.returncode, 0, done.stderr)
        self.assertIn(str(os.path.realpath(hook)), settings.read_text())
        return settings

    def core_env(self):
        """The variables the host passes on that Core decides by."""
        env = {"HOME": str(self.home), "TMPDIR": str(self.host_tmp)}
        if self.state_in_env:
            env["TARNWICK_HOME"] = str(self.state)
        return env

    def run_host(self, settings, prompt="Run the step.", allowed_tools="Bash"):
        env = {
            "PATH": "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
            "CLAUDE_CODE_TMPDIR": str(self.host_tmp),
            "DISABLE_AUTOUPDATER": "1",
            "DISABLE_TELEMETRY": "1",
            "DISABLE_ERROR_REPORTING": "1",
            "CLAUDE_CODE_DISABLE_NONESSENTIAL_TRAFFIC": "1",
            "ANTHROPIC_API_KEY": "sk-ant-dummy-for-tests",
            "ANTHROPIC_BASE_URL": "http://127.0.0.1:%d" % self.model_port,
            "TWK_CORE_IDLE_EXIT_SECONDS": CORE_IDLE_EXIT_S,
            **self.core_env(),
        }
        args = ["nsenter", "--net=" + self.netns, "--", str(HOST), "-p", prompt,
                "--output-format", "stream-json", "--verbose", "--include-hook-events"]
        if allowed_tools:
            args += ["--allowedTools", allowed_tools]
        if settings is not None:
            args += ["--settings", str(settings)]
        began = time.monotonic()
        proc = subprocess.Popen(args, cwd=self.work, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                text=True, start_new_session=True)
        try:
            out, err = proc.communicate(timeout=HOST_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, signal.SIGKILL)
            out, err = proc.communicate()
            self.fail("the host ran longer than %d s\n%s" % (HOST_TIMEOUT_S, out[-4000:]))
        run = HostRun(proc.returncode, time.monotonic() - began, out, err, self.model_log)
        TIMINGS.setdefault(self.id(), []).append(run.seconds)
        self.assertEqual(run.returncode, 0, run.describe())
        self.assertTrue(run.events, run.describe())
        return run

    # -- Core --------------------------------------------------------------

    def read_record(self):
        try:
            return json.loads((self.state / "endpoint.json").read_text())
        except (OSError, ValueError):
            return None

    def core_log(self):
        path = self.state / "logs" / "backend.log"
        return path.read_text(encoding="utf-8", errors="replace") if path.exists() else ""

    def started_core_pids(self):
        return [int(p) for p in re.findall(r"^\S*\s*started: pid (\d+)", self.core_log(), re.M)]

    def audit_records(self):
        path = self.state / "logs" / "audit.jsonl"
        if not path.exists():
            return []
        return [json.loads(l) for l in path.read_text(encoding="utf-8").splitlines()]

    # -- common checks -----------------------------------------------------

    def assert_hooks_succeeded(self, run, hook_event, count):
        responses = run.hook_events("hook_response", hook_event)
        self.assertEqual(len(responses), count, run.describe())
        for r in responses:
            self.assertEqual(r.get("exit_code"), 0, r)
            self.assertEqual(r.get("outcome"), "success", r)
            self.assertEqual(r.get("stderr"), "", r)
        return responses


# ---------------------------------------------------------------------------


class FailSafeTest(HostTestCase):
    """No Core anywhere: the hook's own "ask" must stop the call in -p mode."""

    def test_without_a_core_binary_the_host_gets_ask_and_the_tool_does_not_run(self):
        lone = self.tmp / "bin" / "twk-hook"
        lone.parent.mkdir()
        shutil.copy(BUILD_DIR / "twk-hook", lone)
        self.assertFalse((lone.parent / "twk-backend").exists())
        canary = self.work / "canary"
        self.start_model(["touch %s" % shlex.quote(str(canary))])

        run = self.run_host(self.hook_settings(lone))

        self.assertFalse(canary.exists(), "the tool ran: the host did not stop the call")
        [response] = self.assert_hooks_succeeded(run, "PreToolUse", 1)
        lines = response["stdout"].splitlines()
        self.assertEqual(len(lines), 1, response)
        answer = json.loads(lines[0])
        decision = answer["hookSpecificOutput"]
        self.assertEqual(decision["hookEventName"], "PreToolUse")
        self.assertEqual(decision["permissionDecision"], "ask")
        self.assertIn(ASK_PREFIX + NO_CORE_TEXT + ")", decision["permissionDecisionReason"])
        self.assertEqual(answer.get("systemMessage"), decision["permissionDecisionReason"])
        self.assertEqual(run.hook_events("hook_started", "PostToolUse"), [],
                         "a PostToolUse hook ran for a call that should not have run")

        # What the user of the stream and the model see: the tool call failed
        # with the hook's message.
        [use] = run.tool_uses()
        shown = run.stream_tool_results()[use["id"]]
        self.assertTrue(shown.get("is_error"), shown)
        self.assertIn(NO_CORE_TEXT, result_text(shown))
        sent = run.model_tool_results()[use["id"]]
        self.assertTrue(sent.get("is_error"), sent)
        self.assertIn(NO_CORE_TEXT, result_text(sent))
        self.assertFalse((self.state / "endpoint.json").exists())


class CoreTestCase(HostTestCase):
    """twk-backend from the build, beside twk-hook, started by the hook."""

    def setUp(self):
        super().setUp()
        self.settings = self.hook_settings(BUILD_DIR / "twk-hook")

    def backend(self):
        return os.path.realpath(BUILD_DIR / "twk-backend")

    def assert_one_live_core(self):
        record = self.read_record()
        self.assertIsNotNone(record, "no endpoint record in TARNWICK_HOME")
        self.assertTrue(alive(record["pid"]), record)
        self.assertEqual(exe_of(record["pid"]), self.backend())
        self.assertEqual(self.started_core_pids(), [record["pid"]], self.core_log())
        cores = [p for p in pids_with_env(b"TARNWICK_HOME=" + bytes(self.state))
                 if alive(p) and exe_of(p) == self.backend()]
        self.assertEqual(cores, [record["pid"]])
        return record

    def policy_requests(self):
        return re.findall(r"POST /v1/policy/hook 200", self.core_log())

    def explain(self, use, decision):
        """What twk-hook prints for the PreToolUse event of the tool use
        `use`, as `twk-backend explain` has it for the same home, state
        directory and project: the text, and its reason. Checks that the
        decision is `decision`."""
        event = {"hook_event_name": "PreToolUse", "tool_name": use["name"],
                 "tool_input": use["input"], "cwd": str(self.work)}
        out = subprocess.run([self.backend(), "explain", "--project", str(self.work)],
                             input=json.dumps(event), capture_output=True, text=True,
                             timeout=30, env={"PATH": os.environ["PATH"], **self.core_env()})
        self.assertEqual(out.returncode, 0, out.stderr)
        prints = out.stdout.split("twk-hook prints:\n", 1)
        self.assertEqual(len(prints), 2, "explain says twk-hook prints nothing:\n" + out.stdout)
        answer = json.loads(prints[1])["hookSpecificOutput"]
        self.assertEqual(answer["permissionDecision"], decision, out.stdout)
        return prints[1], answer["permissionDecisionReason"]

    def audited(self, run, expected, tool="Bash"):
        """Checks that the audit log holds exactly the `expected` records,
        given as (hook, command or file path, decision), in any order, each
        with the values the host gave the hook; returns them by (hook,
        command or file path)."""
        def subject(r):
            return r["input"].get("command", r["input"].get("file_path"))
        records = self.audit_records()
        self.assertEqual(sorted((r["hook"], subject(r), r["decision"]) for r in records),
                         sorted(expected), records)
        session = run.session_id()
        for r in records:
            self.assertEqual(r["agent"], "claude-code", r)
            self.assertEqual(r["session"], session, r)
            self.assertEqual(r["tool"], tool, r)
            self.assertEqual(r["project"], str(self.work), r)
            self.assertRegex(r["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d+Z$")
            self.assertEqual("response" in r, r["hook"] == "post-tool-use", r)
        return {(r["hook"], subject(r)): r for r in records}


class RealCoreTest(CoreTestCase):
    """Starting Core from inside the host, with the built-in policy."""

    def test_cold_start_inside_the_host(self):
        canary = self.work / "canary"
        command = "touch %s" % shlex.quote(str(canary))
        self.start_model([command])
        self.assertFalse(self.state.exists())
        run = self.run_host(self.settings)

        self.assertTrue(canary.exists(), run.describe())
        [started] = run.hook_events("hook_started", "PreToolUse")
        [response] = self.assert_hooks_succeeded(run, "PreToolUse", 1)
        # No rule of the built-in policy matches: no decision, so no output
        # and no "ask"; --allowedTools Bash lets the host run the call.
        self.assertEqual(response["stdout"], "", response)
        self.assert_hooks_succeeded(run, "PostToolUse", 1)
        self.assert_one_live_core()
        self.assertEqual(len(self.policy_requests()), 2, self.core_log())
        records = self.audited(run, [("pre-tool-use", command, "none"),
                                     ("post-tool-use", command, "none")])
        self.assertEqual([r["rule"] for r in records.values()], [None, None])
        TIMINGS.setdefault(self.id() + " (first hook, cold start)", []).append(
            _seconds_between(stamp(started), stamp(response)))

    def test_parallel_hooks_start_one_core_and_each_call_gets_its_own_decision(self):
        # Echoing and reading a file are calls the host runs side by side, so
        # their four hooks start at once. Calls 2 and 4 print a (fake)
        # private key in ~/.ssh (named by its absolute path), which the
        # secret-files check denies.
        (self.home / ".ssh").mkdir()
        commands = []
        for i in range(1, 5):
            if i % 2:
                commands.append("echo marker-%d" % i)
            else:
                key = self.home / ".ssh" / ("id_test%d" % i)
                key.write_text("secret-%d\n" % i)
                commands.append("cat %s" % shlex.quote(str(key)))
        uses = self.start_model(commands)
        denies = {u["input"]["command"]: self.explain(u, "deny") for u in uses[1::2]}
        for command, (_, reason) in denies.items():
            self.assertIn(command.split()[1], reason)
        run = self.run_host(self.settings)

        starts = run.hook_events("hook_started", "PreToolUse")
        responses = self.assert_hooks_succeeded(run, "PreToolUse", 4)
        self.assertEqual(len(starts), 4)
        # The hooks overlapped: every one had started before the first answer.
        first_answer = min(stamp(r) for r in responses)
        self.assertLessEqual(max(stamp(s) for s in starts), first_answer,
                             "the host ran the hooks one after another; nothing here "
                             "tests concurrent starts")
        self.assert_one_live_core()
        self.assertEqual(sorted(r["stdout"] for r in responses),
                         sorted(["", ""] + [text for text, _ in denies.values()]))
        self.assert_hooks_succeeded(run, "PostToolUse", 2)

        uses = run.tool_uses()
        self.assertEqual([u["input"]["command"] for u in uses], commands)
        results = run.model_tool_results()
        for i, use in enumerate(uses, 1):
            sent = results[use["id"]]
            if i % 2:
                self.assertFalse(sent.get("is_error"), sent)
                self.assertIn("marker-%d" % i, result_text(sent))
            else:
                self.assertTrue(sent.get("is_error"), sent)
                self.assertIn(denies[use["input"]["command"]][1], result_text(sent))
                self.assertNotIn("secret-%d" % i, result_text(sent))
        records = self.audited(run, [("pre-tool-use", commands[0], "none"),
                                     ("pre-tool-use", commands[1], "deny"),
                                     ("pre-tool-use", commands[2], "none"),
                                     ("pre-tool-use", commands[3], "deny"),
                                     ("post-tool-use", commands[0], "none"),
                                     ("post-tool-use", commands[2], "none")])
        for command in commands[1::2]:
            self.assertEqual(records["pre-tool-use", command]["rule"],
                             {"layer": "built-in", "check": "secret-files"})
        self.assertEqual(len(self.policy_requests()), 6, self.core_log())


class DecisionTest(CoreTestCase):
    """What the host does with Core's allow. (Its deny and ask:
    BuiltInCheckTest.)"""

    def test_allow_runs_a_call_the_host_would_refuse_and_the_audit_log_has_both_events(self):
        # Without --allowedTools the host refuses, in -p mode, a command that
        # creates a file. The user's policy allows one of two such commands;
        # the other gets no decision and stays the host's to refuse.
        allowed, refused = self.work / "allowed", self.work / "refused"
        command = "touch %s" % shlex.quote(str(allowed))
        other = "touch %s" % shlex.quote(str(refused))
        reason = "Creating the allowed file is fine."
        self.state.mkdir()
        policy = self.state / "policy.yaml"
        policy.write_text("version: 1\n"
                          "rules:\n"
                          "  - name: touch-allowed\n"
                          "    tool: Bash\n"
                          "    input:\n"
                          "      command: '^touch \\S*/allowed$'\n"
                          "    decision: allow\n"
                          "    reason: %s\n" % reason)
        self.start_model([command, other])
        run = self.run_host(self.settings, allowed_tools=None)

        self.assertTrue(allowed.exists(), run.describe())
        self.assertFalse(refused.exists(), "the host ran a call nobody allowed; "
                         "nothing here shows what the allow did")
        responses = self.assert_hooks_succeeded(run, "PreToolUse", 2)
        allow = json.dumps({"hookSpecificOutput": {
            "hookEventName": "PreToolUse", "permissionDecision": "allow",
            "permissionDecisionReason": reason}}, separators=(",", ":")) + "\n"
        self.assertEqual(sorted(r["stdout"] for r in responses), ["", allow])
        self.assert_hooks_succeeded(run, "PostToolUse", 1)
        uses = {u["input"]["command"]: u["id"] for u in run.tool_uses()}
        results = run.model_tool_results()
        self.assertFalse(results[uses[command]].get("is_error"), results)
        self.assertTrue(results[uses[other]].get("is_error"), results)

        records = self.audited(run, [("pre-tool-use", command, "allow"),
                                     ("post-tool-use", command, "none"),
                                     ("pre-tool-use", other, "none")])
        pre, post = records["pre-tool-use", command], records["post-tool-use", command]
        self.assertEqual(pre["reason"], reason)
        self.assertEqual(pre["rule"], {"layer": "user", "number": 1, "name": "touch-allowed",
                                       "file": str(policy)})
        self.assertIsNone(records["pre-tool-use", other]["rule"])
        self.assertEqual(post["response"], fingerprint(run.tool_responses()[uses[command]]))
        self.assertLessEqual(pre["time"], post["time"])


class BuiltInCheckTest(CoreTestCase):
    """The shipped built-in checks as the host meets them: what they have no
    opinion on runs; what they deny or ask about does not, though the host
    alone runs it."""

    def assert_refused(self, call, decision, check, untouched, allowed_tools="Bash"):
        """Runs the host with the hooks on one call, which Core answers with
        `decision` by `check`: the call must not run (`untouched()` stays
        true), no post-tool-use hook follows and Core's reason reaches the
        model as an error. Then the control: the host without hooks runs
        it. Returns the reason."""
        [use] = self.start_model([call])
        text, reason = self.explain(use, decision)
        run = self.run_host(self.settings, allowed_tools=allowed_tools)

        self.assertTrue(untouched(), "the call ran\n" + run.describe())
        [response] = self.assert_hooks_succeeded(run, "PreToolUse", 1)
        self.assertEqual(response["stdout"], text)
        self.assertEqual(run.hook_events("hook_started", "PostToolUse"), [],
                         "a PostToolUse hook ran for a refused call")
        [shown] = run.tool_uses()
        sent = run.model_tool_results()[shown["id"]]
        self.assertTrue(sent.get("is_error"), sent)
        self.assertIn(reason, result_text(sent))
        subject = use["input"].get("command", use["input"].get("file_path"))
        [record] = self.audited(run, [("pre-tool-use", subject, decision)],
                                tool=use["name"]).values()
        self.assertEqual((record["reason"], record["rule"]),
                         (reason, {"layer": "built-in", "check": check}))

        control = self.run_host(None, allowed_tools=allowed_tools)
        self.assertFalse(untouched(), "without hooks the host refused the call too; "
                         "nothing here shows Core's answer at work\n" + control.describe())
        return reason

    def test_deleting_in_the_home_from_a_project_elsewhere_is_denied(self):
        # Not the home itself: the host refuses `rm -rf ~` and `rm -rf "$HOME"`
        # by itself, which would leave nothing for the deny to prove.
        victim = self.home / "important"
        victim.mkdir()
        (victim / "file").write_text("still here\n")
        reason = self.assert_refused("rm -rf ~/important", "deny", "recursive-delete",
                                     lambda: (victim / "file").exists())
        self.assertIn(str(victim), reason)
        self.assertTrue(self.home.is_dir())

    def test_deleting_a_directory_in_the_project_runs(self):
        (self.work / "build" / "obj").mkdir(parents=True)
        (self.work / "build" / "obj" / "main.o").write_text("object\n")
        command = "rm -rf build"
        self.start_model([command])
        run = self.run_host(self.settings)

        self.assertFalse((self.work / "build").exists(), run.describe())
        self.assertTrue(self.work.is_dir())
        [response] = self.assert_hooks_succeeded(run, "PreToolUse", 1)
        self.assertEqual(response["stdout"], "", response)
        self.assert_hooks_succeeded(run, "PostToolUse", 1)
        records = self.audited(run, [("pre-tool-use", command, "none"),
                                     ("post-tool-use", command, "none")])
        self.assertEqual([r["rule"] for r in records.values()], [None, None])

    def test_git_reset_hard_with_uncommitted_changes_does_not_run(self):
        # Core asks; with nobody to ask, -p mode refuses.
        notes = self.work / "notes.txt"
        notes.write_text("committed\n")
        git = ["git", "-c", "user.name=Test", "-c", "user.email=test@localhost"]
        for args in (["init", "-q"], ["add", "notes.txt"], ["commit", "-q", "-m", "notes"]):
            subprocess.run(git + args, cwd=self.work, check=True, capture_output=True,
                           timeout=60, env={"PATH": os.environ["PATH"], "HOME": str(self.home)})
        notes.write_text("uncommitted work\n")
        reason = self.assert_refused("git reset --hard", "ask", "destructive-git",
                                     lambda: notes.read_text() == "uncommitted work\n")
        self.assertIn("git reset --hard", reason)

    def test_a_write_of_the_policy_file_in_the_state_directory_is_denied(self):
        # No TARNWICK_HOME: the state directory is ~/.tarnwick.
        self.state, self.state_in_env = self.home / ".tarnwick", False
        policy = self.state / "policy.yaml"
        write = {"name": "Write",
                 "input": {"file_path": str(policy), "content": "version: 1\ndefault: allow\n"}}
        reason = self.assert_refused(write, "deny", "self-protection",
                                     lambda: not policy.exists(), allowed_tools="Write")
        self.assertIn(str(policy), reason)
        # The Core the hook started there is one the clean-up finds.
        self.assertIn(self.read_record()["pid"], self.started_processes())


def _seconds_between(a, b):
    def parse(s):
        t = time.strptime(s[:19], "%Y-%m-%dT%H:%M:%S")
        return time.mktime(t) + float("0" + s[19:].rstrip("Z"))
    return parse(b) - parse(a)


# ---------------------------------------------------------------------------


def main():
    global BUILD_DIR, HOST
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build-dir", default=str(REPO / "build" / "release"),
                        help="directory with twk-hook and twk-backend")
    args, rest = parser.parse_known_args()
    BUILD_DIR = Path(args.build_dir).resolve()
    run_root = os.path.realpath(RUN_ROOT)
    if any(run_root == t or run_root.startswith(t + "/") for t in TEMP_DIRS):
        print("host tests: TWK_HOST_TEST_DIR=%s is in a temporary directory, where "
              "Core leaves deletions alone; choose another" % RUN_ROOT)
        return 1
    for name in ("twk-hook", "twk-backend"):
        if not (BUILD_DIR / name).is_file():
            print("host tests: %s not built in %s" % (name, BUILD_DIR))
            return 1

    HOST, why = find_or_install_host()
    if HOST is None:
        print("host tests SKIPPED: the agent host %s could not be installed: %s"
              % (HOST_VERSION, why), flush=True)
        return SKIP_STATUS
    print("host tests: agent host %s at %s" % (HOST_VERSION, HOST), flush=True)

    RUN_ROOT.mkdir(parents=True, exist_ok=True)
    program = unittest.main(argv=[sys.argv[0]] + rest, exit=False, verbosity=2)
    try:
        RUN_ROOT.rmdir()  # only when no test left anything behind
    except OSError:
        pass
    result = program.result
    bad = {t.id(): "FAIL" for t, _ in result.failures}
    bad.update({t.id(): "ERROR" for t, _ in result.errors})
    bad.update({t.id(): "SKIP" for t, _ in result.skipped})
    print("\nhost tests, with the host's run time (wall clock of `claude -p`):")
    for test_id in sorted(set(TIMINGS) | set(bad)):
        base = test_id.split(" (")[0]
        times = ", ".join("%.2f s" % s for s in TIMINGS.get(test_id, []))
        print("  %-5s %s: %s" % (bad.get(base, "ok"), test_id.split(".", 1)[1], times or "-"))
    failed = len(result.failures) + len(result.errors)
    skipped = len(result.skipped)
    print("%d passed, %d failed, %d skipped"
          % (result.testsRun - failed - skipped, failed, skipped))
    return 0 if result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
