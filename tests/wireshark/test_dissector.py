# SPDX-License-Identifier: Apache-2.0
"""The Wireshark dissector (packaging/wireshark/keld4.lua) against a capture
of every kind of message, built here as a pcap file and decoded by tshark."""

import os
import socket
import struct
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("KELD4_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", ".."))
SCRIPT = os.path.join(SOURCE_DIR, "packaging", "wireshark", "keld4.lua")
PORT = 45002


def header(desid, mtype, status, seq, dataleng, mid, src, des, param=0, reserved=0):
    return struct.pack("!6I", desid, mtype, status, seq, dataleng, mid) + socket.inet_aton(src) + \
        socket.inet_aton(des) + struct.pack("!2I", param, reserved)


def checksum(data):
    if len(data) % 2:
        data += b"\0"
    s = sum(struct.unpack(f"!{len(data) // 2}H", data))
    while s >> 16:
        s = (s & 0xFFFF) + (s >> 16)
    return ~s & 0xFFFF


def frame(payload, src, dst, dport=PORT):
    udp = struct.pack("!4H", 50000, dport, 8 + len(payload), 0) + payload
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, 20 + len(udp), 1, 0, 64, 17, 0, socket.inet_aton(src),
                     socket.inet_aton(dst))
    ip = ip[:10] + struct.pack("!H", checksum(ip)) + ip[12:]
    return b"\x02\0\0\0\0\x02\x02\0\0\0\0\x01\x08\x00" + ip + udp


def pcap(frames):
    out = struct.pack("<IHHiIII", 0xA1B2C3D4, 2, 4, 0, 0, 65535, 1)
    for i, f in enumerate(frames):
        out += struct.pack("<IIII", 1700000000 + i, 0, len(f), len(f)) + f
    return out


AGENT, COORD = "192.168.1.10", "192.168.1.1"
# The agent's alive message from the protocol description, byte for byte.
ALIVE = bytes.fromhex(
    "00000004000000010000000000000000"
    "0000001800000001C0A8010AC0A80101"
    "00000000000000000004303 02D31312D".replace(" ", "")
    + "32322D33332D34342D35350000000960"
)
CPU = header(4, 0x01200001, 0, 0, 4, 1, AGENT, COORD) + struct.pack("!I", 37)
DOWN = header(4, 0x5001, 0, 1, 0, 1, AGENT, AGENT, param=4)
COOR = header(4, 1, 0, 0, 28, 4, COORD, AGENT) + struct.pack("!7I", 0, 0, 2, 7, 5, 0, 3)
COOR_SHORT = header(4, 1, 0, 0, 12, 4, COORD, AGENT) + struct.pack("!3I", 0, 0, 2)
MALFORMED = header(4, 0x01200001, 0, 0, 4, 1, AGENT, COORD) + struct.pack("!2I", 37, 0)
SHORT = ALIVE[:20]

FIELDS = ["keld4.kind", "keld4.desId", "keld4.type", "keld4.status", "keld4.sequence", "keld4.dataleng",
          "keld4.id", "keld4.srcAddr", "keld4.desAddr", "keld4.param", "keld4.reserved",
          "keld4.alive.Ostype", "keld4.alive.Mac", "keld4.alive.Freq", "keld4.cpu.cpuLoad",
          "keld4.coor.loglevel", "keld4.coor.LogRefreshInterval", "keld4.coor.dwAlive",
          "keld4.coor.CpuSendInterval", "_ws.expert.message"]


class Dissector(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory(prefix="keld4-wireshark-")
        # tshark keeps its profile in HOME; a private one makes the run repeatable.
        self.env = dict(os.environ, HOME=self.dir.name, LC_ALL="C.UTF-8")

    def tearDown(self):
        self.dir.cleanup()

    def tshark(self, frames, *args):
        path = os.path.join(self.dir.name, "capture.pcap")
        with open(path, "wb") as f:
            f.write(pcap(frames))
        result = subprocess.run(["tshark", "-n", "-r", path, "-X", f"lua_script:{SCRIPT}", *args],
                                capture_output=True, text=True, env=self.env, timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        return result.stdout

    def fields(self, frames, *args):
        options = ["-T", "fields", "-E", "separator=|", "-E", "occurrence=a", "-E", "aggregator=;"]
        for name in FIELDS:
            options += ["-e", name]
        out = self.tshark(frames, *options, *args)
        return [dict(zip(FIELDS, line.split("|"))) for line in out.splitlines()]

    def test_every_kind_of_message_is_decoded(self):
        rows = self.fields([frame(ALIVE, AGENT, COORD), frame(CPU, AGENT, COORD), frame(DOWN, AGENT, AGENT),
                            frame(COOR, COORD, AGENT)])
        self.assertEqual(len(rows), 4)
        alive, cpu, down, coor = rows
        common = ("keld4.desId", "keld4.status", "keld4.reserved")
        for row in rows:
            self.assertEqual([row[k] for k in common], ["4", "0x00000000", "0x00000000"], row)
            self.assertEqual(row["_ws.expert.message"], "", row)
        self.assertEqual(
            [alive[k] for k in FIELDS[:15]],
            ["alive", "4", "0x00000001", "0x00000000", "0", "24", "1", AGENT, COORD, "0", "0x00000000", "4",
             "00-11-22-33-44-55", "2400", ""])
        self.assertEqual([cpu[k] for k in ("keld4.kind", "keld4.type", "keld4.dataleng", "keld4.cpu.cpuLoad")],
                         ["CPU load", "0x01200001", "4", "37"])
        self.assertEqual(
            [down[k] for k in ("keld4.kind", "keld4.type", "keld4.sequence", "keld4.dataleng", "keld4.param",
                               "keld4.srcAddr", "keld4.desAddr")],
            ["down", "0x00005001", "1", "0", "4", AGENT, AGENT])
        self.assertEqual(
            [coor[k] for k in ("keld4.kind", "keld4.id", "keld4.dataleng", "keld4.srcAddr", "keld4.desAddr",
                               "keld4.coor.loglevel", "keld4.coor.LogRefreshInterval", "keld4.coor.dwAlive",
                               "keld4.coor.CpuSendInterval")],
            ["Coor_alive", "4", "28", COORD, AGENT, "2", "7", "5", "3"])

    def test_tree_shows_type_names_and_addresses(self):
        out = self.tshark([frame(CPU, AGENT, COORD), frame(DOWN, AGENT, AGENT)], "-V", "-O", "keld4")
        self.assertIn("type: MSG_CPU_LOAD (0x01200001)", out)
        self.assertIn("type: MSG_DOWN (0x00005001)", out)
        self.assertIn(f"srcAddr: {AGENT}", out)
        self.assertIn(f"desAddr: {COORD}", out)
        self.assertIn("param: 4 (OSID: Windows Server 2003)", out)

    def test_wrong_lengths_are_flagged_malformed(self):
        rows = self.fields([frame(MALFORMED, AGENT, COORD), frame(SHORT, AGENT, COORD), frame(COOR_SHORT, COORD, AGENT),
                            frame(ALIVE, AGENT, COORD)])
        self.assertEqual(rows[0]["_ws.expert.message"], "Datagram length 48 is not 40 + dataleng (44)")
        self.assertEqual(rows[0]["keld4.cpu.cpuLoad"], "37")
        self.assertEqual(rows[1]["_ws.expert.message"], "Datagram shorter than the 40-byte header")
        self.assertEqual(rows[2]["_ws.expert.message"], "Coor_alive data shorter than 28 bytes (ignored by the agent)")
        self.assertEqual(rows[2]["keld4.coor.loglevel"], "2")
        self.assertEqual(rows[3]["_ws.expert.message"], "")
        out = self.tshark([frame(MALFORMED, AGENT, COORD)], "-V")
        self.assertIn("[Group: Malformed]", out)

    def test_port_is_a_preference(self):
        frames = [frame(CPU, AGENT, COORD, dport=46000)]
        self.assertEqual(self.fields(frames)[0]["keld4.kind"], "")
        self.assertEqual(self.fields(frames, "-o", "keld4.port:46000")[0]["keld4.kind"], "CPU load")


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
