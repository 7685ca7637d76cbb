"""pitchr against a receiver on another host that takes the header, then nothing more and
never closes: the body's time-out ends the transfer, whatever the kernel does meanwhile. The
classic protocol alone (--classic): the stalled receiver is a raw socket that knows no hello."""
import os
import re
import subprocess
import sys
import time
import unittest

from harness import PITCHR, E2ETest, TwoHosts, fresh_port

MiB = 1024 * 1024
SIZE = 64 * MiB
BODY_TMO = 60  # seconds without progress

# Takes one connection, reads the three header lines, then holds the connection open unread.
STALLED_RECEIVER = r"""
import socket, sys, time
server = socket.create_server((sys.argv[1], int(sys.argv[2])))
print("listening", flush=True)
conn, _ = server.accept()
header = b""
while header.count(b"\r") < 3:
    header += conn.recv(1)
print(header.decode(), flush=True)
time.sleep(3600)
"""


class StalledReceiver(E2ETest):
    def test_a_receiver_that_stops_reading_ends_the_transfer_after_the_body_time_out(self):
        path = self.write("big.bin", b"")
        os.truncate(path, SIZE)
        hosts = TwoHosts()
        self.addCleanup(hosts.close)
        port = fresh_port()
        rx = subprocess.Popen(hosts.command("rx", sys.executable, "-c", STALLED_RECEIVER, hosts.addr["rx"],
                                            str(port)), stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.addCleanup(rx.stdout.close)
        self.addCleanup(rx.wait)
        self.addCleanup(rx.kill)
        self.assertEqual(rx.stdout.readline(), b"listening\n")

        start = time.monotonic()
        proc = subprocess.run(hosts.command("tx", PITCHR, "--classic", "-v", path, hosts.addr["rx"], str(port)),
                              capture_output=True, stdin=subprocess.DEVNULL, timeout=BODY_TMO + 60)
        took = time.monotonic() - start
        out = proc.stdout.decode("latin-1")

        self.assertEqual(rx.stdout.readline(), f"big.bin\r\r{SIZE}\r\n".encode())
        self.assertEqual(proc.returncode, 1, out)
        self.assertGreaterEqual(took, BODY_TMO - 1, out)
        self.assertLess(took, BODY_TMO + 5, out)
        # The words say how far it got; the trail (-v) has the exact count to check them by.
        found = re.search(rf"ERROR: {re.escape(path)}: the receiver stopped taking data for 60 s after "
                          r"([\d.]+) (B|KiB|MiB) of 64\.0 MiB; not stored "
                          rf"\(send BLOCKED \(txtmo=60, bfsz={SIZE} txsz=(\d+)\) \[BF_SCK\] \[FD_SCK\]\)\n", out)
        self.assertIsNotNone(found, out)
        unit = {"B": 1, "KiB": 1024, "MiB": MiB}[found.group(2)]
        said, counted = float(found.group(1)) * unit, int(found.group(3))
        self.assertTrue(0 < counted < SIZE, counted)
        # Rounded as shown: one decimal below 100 of a unit, none from 100 on.
        self.assertLessEqual(abs(said - counted), (0.05 if "." in found.group(1) else 0.5) * unit, out)
        self.assertNotIn("\x07", out)


if __name__ == "__main__":
    unittest.main()
