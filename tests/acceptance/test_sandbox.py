# SPDX-License-Identifier: Apache-2.0
"""The systemd unit that -Service writes: its sandbox, its rating by
systemd-analyze, and the agent at work under the same restrictions where
they can be applied without systemd (read-only file system but for the
unit's ReadWritePaths, no capabilities, no_new_privs, the unit's umask)."""

import os
import re
import shlex
import shutil
import signal
import subprocess
import time

from harness import KELD4, MSG_ALIVE, MSG_CPU_LOAD, AgentTest, coor_alive, read_reg_value, set_reg_value

# What ProtectSystem=strict with ReadWritePaths, NoNewPrivileges, an empty
# CapabilityBoundingSet and UMask=0027 do to the process, done by hand in a
# mount namespace of its own: the writable folders become mounts of their
# own, every other mount outside /proc, /sys and /dev becomes read-only.
SANDBOX = r"""
set -e
writable="$1"; shift
for d in $writable; do mount --bind "$d" "$d"; done
for m in $(awk '{print $5}' /proc/self/mountinfo | sort -u); do
  case "$m" in /proc|/proc/*|/sys|/sys/*|/dev|/dev/*) continue;; esac
  skip=0; for d in $writable; do [ "$m" = "$d" ] && skip=1; done
  [ $skip = 1 ] || mount -o remount,bind,ro "$m"
done
umask "$UNIT_UMASK"
exec setpriv --no-new-privs --inh-caps=-all --bounding-set=-all "$@"
"""


def syscall_group(name, seen=None):
    """The system calls of a systemd group such as @system-service, nested groups expanded."""
    seen = set() if seen is None else seen
    if name in seen:
        return set()
    seen.add(name)
    out = subprocess.run(["systemd-analyze", "syscall-filter", name], capture_output=True, text=True, timeout=60)
    calls = set()
    for line in out.stdout.splitlines()[1:]:
        word = line.strip()
        if not word or word.startswith("#"):
            continue
        calls |= syscall_group(word, seen) if word.startswith("@") else {word}
    return calls


def unit_values(text):
    """The [Service] settings of a unit, each name with the list of its values."""
    values = {}
    section = None
    for line in text.splitlines():
        if line.startswith("["):
            section = line
        elif section == "[Service]" and "=" in line:
            name, value = line.split("=", 1)
            values.setdefault(name, []).append(value)
    return values


class HardenedUnit(AgentTest):
    def setUp(self):
        super().setUp()
        # The registry in a folder of its own, so that its folder and the log
        # folder are two separate writable paths.
        folder = os.path.join(self.agent.dir, "store")
        os.mkdir(folder)
        store = os.path.join(folder, "registry.reg")
        shutil.move(self.agent.store, store)
        self.agent.store = store
        self.agent.env["KELD4_REGISTRY"] = store

    def install(self):
        result = self.agent.register("-Service")
        self.assertEqual(result.returncode, 0, result.stderr)
        path = os.path.join(self.agent.units, "keld4.service")
        return path, unit_values(open(path, encoding="utf-8").read())

    def set_port(self, port):
        text = open(self.agent.store, encoding="utf-8").read()
        with open(self.agent.store, "w", encoding="utf-8") as f:
            f.write(set_reg_value(text, "PortNumber", port))

    def test_unit_is_confined_and_rated_at_most_2(self):
        path, unit = self.install()
        expected = {
            "Type": ["notify"],
            "User": ["root"],
            "CPUSchedulingPolicy": ["batch"],
            "Restart": ["on-failure"],
            "RestartSec": ["120"],
            "Environment": [f"KELD4_REGISTRY={self.agent.store}"],
            "CapabilityBoundingSet": [""],
            "NoNewPrivileges": ["yes"],
            "ProtectSystem": ["strict"],
            "ReadWritePaths": [f"{os.path.dirname(self.agent.store)} -/var/log -{self.agent.logdir}"],
            "PrivateDevices": ["yes"],
            "ProtectKernelTunables": ["yes"],
            "ProtectKernelModules": ["yes"],
            "ProtectKernelLogs": ["yes"],
            "ProtectControlGroups": ["yes"],
            "RestrictAddressFamilies": ["AF_INET AF_UNIX AF_NETLINK"],
            "RestrictNamespaces": ["yes"],
            "LockPersonality": ["yes"],
            "MemoryDenyWriteExecute": ["yes"],
            "SystemCallArchitectures": ["native"],
            "UMask": ["0027"],
        }
        for name, value in expected.items():
            self.assertEqual(unit.get(name), value, name)
        self.assertIn("@system-service", unit["SystemCallFilter"])
        self.assertNotIn("ProcSubset", unit)
        # The registry here lies in /tmp: a private /tmp would hide it.
        self.assertNotIn("PrivateTmp", unit)
        self.assertEqual(unit.get("ProtectHome"), ["yes"])

        verify = subprocess.run(["systemd-analyze", "verify", path], capture_output=True, text=True, timeout=60)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)
        security = subprocess.run(
            ["systemd-analyze", "security", "--offline=true", "--no-pager", path],
            capture_output=True,
            text=True,
            timeout=60,
        )
        m = re.search(r"Overall exposure level for keld4\.service: ([0-9.]+)", security.stdout)
        self.assertIsNotNone(m, security.stdout + security.stderr)
        self.assertLessEqual(float(m.group(1)), 2.0, security.stdout)

    def test_only_a_port_below_1024_keeps_the_bind_capability(self):
        for port, caps in ((1023, "CAP_NET_BIND_SERVICE"), (1024, ""), (80, "CAP_NET_BIND_SERVICE")):
            self.set_port(port)
            _, unit = self.install()
            self.assertEqual(unit["CapabilityBoundingSet"], [caps], port)

    def test_paths_with_blanks_are_quoted(self):
        logdir = os.path.join(self.agent.dir, "log folder")
        os.mkdir(logdir)
        text = open(self.agent.store, encoding="utf-8").read()
        with open(self.agent.store, "w", encoding="utf-8") as f:
            f.write(set_reg_value(text, "LogDirectory", logdir))
        path, unit = self.install()
        self.assertEqual(shlex.split(unit["ReadWritePaths"][0])[-1], "-" + logdir)
        verify = subprocess.run(["systemd-analyze", "verify", path], capture_output=True, text=True, timeout=60)
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

    def test_system_calls_stay_within_the_units_filter(self):
        # seccomp cannot be applied without systemd; the calls the agent makes
        # in a whole run are compared with the unit's filter instead.
        _, unit = self.install()
        allowed, denied = set(), set()
        for value in unit["SystemCallFilter"]:
            target = denied if value.startswith("~") else allowed
            for word in value.lstrip("~").split():
                target |= syscall_group(word) if word.startswith("@") else {word}
        self.assertTrue(allowed)
        trace = os.path.join(self.agent.dir, "trace")
        # LeakSanitizer (in a sanitizer build) cannot run under strace: the
        # calls are compared here, the other runs check for leaks.
        asan = ":".join(filter(None, [os.environ.get("ASAN_OPTIONS"), "detect_leaks=0"]))
        prefix = self.agent.host.prefix() + ["env", f"ASAN_OPTIONS={asan}", "strace", "-f", "-qq", "-o", trace]
        self.agent.command = lambda *args: prefix + [KELD4, *args]
        self.agent.start(register=False)
        self.assertTrue(self.agent.wait_log("KELD4 service started", timeout=20), self.agent.log())
        self.coord.send(coor_alive(alive=1, log_refresh=5, cpu_interval=1))
        got = self.coord.receive(6.0, until=lambda ms: {MSG_ALIVE, MSG_CPU_LOAD} <= {m.get("type") for m in ms})
        self.assertTrue({MSG_ALIVE, MSG_CPU_LOAD} <= {m.get("type") for m in got}, got)
        # The stop request goes to the agent, not to strace; strace then ends
        # with the agent's exit status.
        children = open(f"/proc/{self.agent.pid()}/task/{self.agent.pid()}/children").read().split()
        self.assertEqual(len(children), 1, children)
        os.kill(int(children[0]), signal.SIGTERM)
        self.assertEqual(self.agent.proc.wait(20), 0)
        used = set()
        for line in open(trace, encoding="utf-8", errors="replace"):
            m = re.match(r"\d+\s+([a-z0-9_]+)\(", line)
            if m:
                used.add(m.group(1))
        used.discard("execve")  # the start of the program itself, made by systemd
        self.assertIn("sendto", used)
        self.assertEqual(used - allowed, set())
        self.assertEqual(used & denied, set())

    def test_agent_works_under_the_units_restrictions(self):
        _, unit = self.install()
        writable = [p.lstrip("-") for p in shlex.split(unit["ReadWritePaths"][0])]
        writable = [p for p in writable if os.path.isdir(p)]
        self.assertIn(self.agent.logdir, writable)
        self.assertEqual(unit["CapabilityBoundingSet"], [""])
        prefix = self.agent.host.prefix() + ["unshare", "-m", "sh", "-c", SANDBOX, "sandbox", " ".join(writable)]
        self.agent.command = lambda *args: prefix + [KELD4, *args]
        self.agent.env["UNIT_UMASK"] = unit["UMask"][0]

        self.agent.start(register=False)
        self.assertTrue(self.agent.wait_log("KELD4 service started"), self.agent.log())
        status = open(f"/proc/{self.agent.pid()}/status").read()
        self.assertRegex(status, r"NoNewPrivs:\s+1")
        self.assertRegex(status, r"CapEff:\s+0+\n")
        mounts = [line.split() for line in open(f"/proc/{self.agent.pid()}/mountinfo")]
        self.assertTrue(any(m[4] == "/" and m[5].startswith("ro") for m in mounts), mounts)

        # Interfaces were read (the configured address was found), /proc/stat
        # is read for the load, the registry takes the coordinator's periods.
        self.coord.send(coor_alive(alive=1, log_refresh=5, cpu_interval=1))
        got = self.coord.receive(6.0, until=lambda ms: {MSG_ALIVE, MSG_CPU_LOAD} <= {m.get("type") for m in ms})
        self.assertTrue({MSG_ALIVE, MSG_CPU_LOAD} <= {m.get("type") for m in got}, got)
        deadline = time.time() + 5
        while time.time() < deadline and read_reg_value(self.agent.store, "LogRefreshInterval") != 5:
            time.sleep(0.1)
        self.assertEqual(read_reg_value(self.agent.store, "LogRefreshInterval"), 5)
        self.assertEqual(read_reg_value(self.agent.store, "CpuSendInterval"), 1)
        self.assertEqual(os.stat(os.path.join(self.agent.logdir, "keld4.log")).st_mode & 0o777, 0o640)

        self.assertEqual(self.agent.stop(signal.SIGTERM), 0)
        self.assertIn("INFO: KELD4 service stopped", self.agent.log())
