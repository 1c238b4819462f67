# SPDX-License-Identifier: Apache-2.0
"""Start, stop, drop-out and installation of the real program."""

import os
import signal
import socket
import struct
import subprocess
import tempfile
import time

from harness import AGENT_IP, KELD4, MSG_DOWN, Agent, AgentTest, Sniffer, coor_alive, parse, read_reg_value


class Lifecycle(AgentTest):
    def test_sigterm_sends_the_down_message_to_the_agents_own_port_and_stops(self):
        sniffer = Sniffer(self.agent.host, self.port)
        try:
            self.start_agent()
            self.coord.send(coor_alive(alive=0, cpu_interval=0))
            time.sleep(0.5)
            self.agent.proc.send_signal(signal.SIGTERM)
            packets = sniffer.packets(3.0)
        finally:
            sniffer.close()
        self.assertEqual(self.agent.proc.wait(10), 0)
        downs = [parse(p) for p in packets if len(p) >= 40 and parse(p)["type"] == MSG_DOWN]
        self.assertEqual(len(downs), 1, packets)
        d = downs[0]
        self.assertEqual(d["length"], 40)
        self.assertEqual((d["sequence"], d["id"], d["desId"], d["dataleng"], d["param"]), (1, 1, 4, 0, 0))
        self.assertEqual((d["srcAddr"], d["desAddr"]), (AGENT_IP, AGENT_IP))
        self.assertIn("INFO: KELD4 service stopped", self.agent.log())
        out = self.agent.proc.stdout.read().decode()
        self.assertIn("KELD4 service started\n", out)
        self.assertIn("KELD4 service stopped\n", out)

    def test_memory_limit_zero_drops_out_with_255(self):
        self.start_agent()
        time.sleep(0.5)
        text = open(self.agent.store, encoding="utf-8").read()
        import harness

        text = harness.set_reg_value(text, "MaxMemInfo", 0)
        tmp = self.agent.store + ".edit"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        os.rename(tmp, self.agent.store)
        self.assertEqual(self.agent.proc.wait(10), 255)
        log = self.agent.log()
        self.assertRegex(log, r"ERR: Memory Leak :Limit=0x00000000 < Current=0x[0-9a-f]{8}\r\n")
        self.assertIn("ERR: Pdh_Error KELD4 service DropOut\r\n", log)
        self.assertNotIn("KELD4 service stopped", log)
        self.assertIn("Pdh_Error KELD4 service DropOut.", self.agent.proc.stdout.read().decode())


class Ports(AgentTest):
    def test_port_above_65535_stops_the_start(self):
        self.agent.close()
        self.agent = Agent(self.port, {"PortNumber": 65536})
        self.agent.start()
        # A failed start is no success: exit status 1, so restart-on-failure applies.
        self.assertEqual(self.agent.proc.wait(10), 1)
        self.assertIn("ERR: Too large port number : 65536", self.agent.log())
        self.assertIn("Too large port number\n", self.agent.proc.stdout.read().decode())

    def test_port_65535_starts(self):
        self.agent.close()
        self.coord.close()
        self.agent = Agent(65535)
        from harness import Coordinator

        self.coord = Coordinator(65535)
        self.start_agent()
        self.coord.send(coor_alive(alive=1, cpu_interval=0), to=AGENT_IP)
        got = self.coord.receive(3.0, until=lambda ms: ms)
        self.assertTrue(got)


class CommandLine(AgentTest):
    def test_unregistered_program_exits_with_file_not_found(self):
        result = subprocess.run(self.agent.command(), env=self.agent.env, capture_output=True, timeout=20)
        self.assertEqual(result.returncode, 2)

    def test_unreadable_store_says_why_on_stderr(self):
        self.assertEqual(self.agent.register().returncode, 0)
        text = open(self.agent.store, encoding="utf-8").read().splitlines()
        text.insert(4, "this line is no registry line")
        with open(self.agent.store, "w", encoding="utf-8") as f:
            f.write("\n".join(text) + "\n")
        result = subprocess.run(self.agent.command(), env=self.agent.env, capture_output=True, text=True, timeout=20)
        self.assertEqual(result.returncode, 1015 & 0xFF)
        lines = result.stderr.splitlines()
        self.assertEqual(len(lines), 1, result.stderr)
        self.assertIn(f"{self.agent.store}:5:", lines[0])
        # A folder in the store's place, and no store at all.
        os.remove(self.agent.store)
        result = subprocess.run(self.agent.command(), env=self.agent.env, capture_output=True, text=True, timeout=20)
        self.assertEqual(result.returncode, 2)
        self.assertIn(self.agent.store, result.stderr)
        os.mkdir(self.agent.store)
        result = subprocess.run(self.agent.command(), env=self.agent.env, capture_output=True, text=True, timeout=20)
        self.assertEqual(result.returncode, 5)
        self.assertIn(self.agent.store, result.stderr)

    def test_switch_must_be_last_and_case_is_ignored(self):
        env = self.agent.env
        result = subprocess.run(self.agent.command("-Service", "/x"), env=env, capture_output=True, timeout=20)
        # No switch recognised: not registered, so it ends with 2 and installs nothing.
        self.assertEqual(result.returncode, 2)
        self.assertEqual(os.listdir(self.agent.units), [])
        result = subprocess.run(self.agent.command("/SERVICE"), env=env, capture_output=True, text=True, timeout=20)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(os.listdir(self.agent.units), ["keld4.service"])
        unit = open(os.path.join(self.agent.units, "keld4.service"), encoding="utf-8").read()
        for line in (
            "Description=Pallix/LBシリーズの負荷分散エージェントサービス",
            "Type=notify",
            f"ExecStart={os.path.realpath(KELD4)}",
            "WantedBy=multi-user.target",
            "After=network-online.target",
            "Wants=network-online.target",
            "Restart=on-failure",
            "RestartSec=120",
            "User=root",
        ):
            self.assertIn(line + "\n", unit)
        self.assertEqual(read_reg_value(self.agent.store, "LocalService"), "keld4")
        self.assertEqual(read_reg_value(self.agent.store, "ServiceParameters"), "-Service")
        verify = subprocess.run(
            ["systemd-analyze", "verify", os.path.join(self.agent.units, "keld4.service")],
            capture_output=True,
            text=True,
            timeout=60,
        )
        self.assertEqual(verify.returncode, 0, verify.stdout + verify.stderr)

        # RegServer removes the unit and the service registration.
        result = subprocess.run(self.agent.command("-regserver"), env=env, capture_output=True, timeout=20)
        self.assertEqual(result.returncode, 0)
        self.assertEqual(os.listdir(self.agent.units), [])
        self.assertIsNone(read_reg_value(self.agent.store, "LocalService"))
        # UnregServer removes the registration; AppID itself stays.
        result = subprocess.run(self.agent.command("/UNREGSERVER"), env=env, capture_output=True, timeout=20)
        self.assertEqual(result.returncode, 0)
        text = open(self.agent.store, encoding="utf-8").read()
        self.assertNotIn("{5B2E9A41-7C3D-4F18-A6E2-0D9C4B71E35A}", text)
        self.assertIn("[HKEY_CLASSES_ROOT\\AppID]", text)
        self.assertEqual(subprocess.run(self.agent.command(), env=env, capture_output=True, timeout=20).returncode, 2)


class UnderServiceManager(AgentTest):
    def test_states_reach_the_notification_socket_in_order(self):
        path = os.path.join(self.agent.dir, "notify.sock")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(path)
        journal_path = os.path.join(self.agent.dir, "journal.sock")
        journal = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        journal.bind(journal_path)
        try:
            self.assertEqual(self.agent.register("-Service").returncode, 0)
            self.agent.env["NOTIFY_SOCKET"] = path
            self.agent.env["KELD4_JOURNAL_SOCKET"] = journal_path
            self.agent.start(register=False)
            self.assertTrue(self.agent.wait_log("KELD4 service started"), self.agent.log())
            notify.settimeout(5)
            states = [notify.recv(4096).decode(), notify.recv(4096).decode()]
            self.coord.send(coor_alive(alive=0, cpu_interval=0))
            time.sleep(0.3)
            self.agent.proc.send_signal(signal.SIGHUP)  # interrogate: nothing changes
            time.sleep(0.3)
            self.assertIsNone(self.agent.proc.poll())
            self.agent.proc.send_signal(signal.SIGTERM)
            states += [notify.recv(4096).decode(), notify.recv(4096).decode()]
            self.assertEqual(self.agent.proc.wait(10), 0)
            journal.setblocking(False)
            entries = []
            while True:
                try:
                    entries.append(journal.recv(65536).decode())
                except BlockingIOError:
                    break
        finally:
            notify.close()
            journal.close()
        # Events reach the journal as native entries with their fields.
        started = [e for e in entries if "MESSAGE=KELD4 service started\n" in e]
        self.assertEqual(len(started), 1, entries)
        self.assertIn("SYSLOG_IDENTIFIER=keld4\n", started[0])
        self.assertIn("PRIORITY=6\n", started[0])
        self.assertRegex(started[0], r"KELD4_EVENT_ID=0x[0-9A-F]{8}\n")
        self.assertEqual(states[0], "STATUS=Starting")
        self.assertEqual(states[1], "READY=1\nSTATUS=Running")
        self.assertEqual(states[2], "STOPPING=1\nSTATUS=Stopping")
        self.assertEqual(states[3], "STATUS=Stopped\nEXIT_STATUS=0")
        self.assertIn("INFO: KELD4 service stopped", self.agent.log())
        # Under the service manager events go to the system log, not stdout.
        self.assertEqual(self.agent.proc.stdout.read().decode(), "")

    def test_failed_start_reports_stopped_with_a_nonzero_exit_status(self):
        self.agent.close()
        self.agent = Agent(self.port, {"PortNumber": 65536})
        path = os.path.join(self.agent.dir, "notify.sock")
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        notify.bind(path)
        try:
            self.assertEqual(self.agent.register("-Service").returncode, 0)
            self.agent.env["NOTIFY_SOCKET"] = path
            self.agent.start(register=False)
            self.assertEqual(self.agent.proc.wait(10), 1)
            notify.settimeout(5)
            states = [notify.recv(4096).decode() for _ in range(3)]
        finally:
            notify.close()
        self.assertEqual(states[1], "READY=1\nSTATUS=Running")
        self.assertEqual(states[2], "STATUS=Stopped\nEXIT_STATUS=1")
