"""catchr under hostile load: trickling bodies, one address taking every slot, floods of
connections. A real sender must still get through, and the log must stay small."""
import os
import socket
import time
import unittest

from harness import E2ETest, RX_ADDR, connect, fresh_port, read_until_cr, run_pitchr


class Fairness(E2ETest):
    def test_trickling_bodies_give_way_to_a_real_sender_but_a_moving_body_does_not(self):
        port = fresh_port()
        rx = self.start_receiver(str(port), "--rate-window", "2")
        # 63 bodies from 8 addresses announce 1000 bytes, send 10 and stop; one more moves
        # steadily, well above the minimum rate.
        tricklers = []
        for i in range(63):
            s = connect(port, source=f"127.0.2.{i % 8 + 1}")
            s.sendall(b"t%d\r\r1000\r" % i + b"x" * 10)
            tricklers.append(s)
        steady = connect(port, source="127.0.2.9")
        steady.sendall(b"steady.bin\r\r40000\r")
        rx.expect("steady.bin (40000)")
        src = self.write("real.txt", b"real")
        try:
            start = time.monotonic()
            for _ in range(8):  # 4 KiB a second, for 2 s before the real sender and during it
                steady.sendall(b"s" * 1024)
                time.sleep(0.25)
            status, out, _ = run_pitchr([src, RX_ADDR, str(port)], timeout=30)
            self.assertEqual(status, 0, out)
            self.assertLess(time.monotonic() - start, 8)  # it once waited until they closed
            steady.sendall(b"s" * (40000 - 8 * 1024))
            self.assertEqual(read_until_cr(steady), b"OK")
        finally:
            for s in tricklers + [steady]:
                s.close()
        self.assertEqual(os.path.getsize(os.path.join(self.dir, "steady.bin")), 40000)
        rx.expect(": dropped after 10 B of 1000 B for a new connection: all connections were taken; nothing stored")

    def test_one_address_cannot_take_every_slot(self):
        port = fresh_port()
        rx = self.start_receiver(str(port), "--per-address", "4")
        greedy = [connect(port, source="127.0.2.1") for _ in range(4)]
        try:
            rx.expect("")
            extra = [connect(port, source="127.0.2.1") for _ in range(20)]
            for s in extra:  # told why, and closed
                self.assertEqual(read_until_cr(s), b"4 connections already open from 127.0.2.1; try again later")
                s.close()
            with connect(port, source="127.0.2.2") as other:
                other.sendall(b"other.txt\r\r2\rok")
                self.assertEqual(read_until_cr(other), b"OK")
        finally:
            for s in greedy:
                s.close()
        text = rx.expect("4 already open from that address")
        self.assertEqual(text.count("already open from that address"), 1)  # the rest are counted
        rx.expect("Refused 19 connections from 127.0.2.1 in the last 5 s: too many open from one address",
                  timeout=8)

    def test_a_flood_of_connections_costs_bounded_log_and_a_real_sender_gets_through(self):
        port = fresh_port()
        rx = self.start_receiver(str(port), "--allow", "127.0.0.0/23,127.0.2.0/24")
        src = self.write("real.txt", b"real")
        rx.expect("")
        before = len(rx.output)
        flood = 0
        deadline = time.monotonic() + 5
        idle = []
        while time.monotonic() < deadline and flood < 6000:
            kind = flood % 3
            if kind == 0:  # connects and goes away at once
                socket.create_connection((RX_ADDR, port), timeout=5,
                                         source_address=(f"127.0.2.{flood % 50 + 1}", 0)).close()
            elif kind == 1:  # from an address --allow does not take
                socket.create_connection((RX_ADDR, port), timeout=5,
                                         source_address=(f"127.0.3.{flood % 50 + 1}", 0)).close()
            else:  # stays, idle, until the cap drops it
                s = connect(port, source=f"127.0.2.{flood % 50 + 1}")
                idle.append(s)
                if len(idle) > 200:
                    idle.pop(0).close()
            flood += 1
            if flood % 300 == 0:
                status, out, _ = run_pitchr([src, RX_ADDR, str(port)], timeout=30)
                rx._read(0.2)
                self.assertEqual(status, 0, out + rx.text()[-3000:])
        for s in idle:
            s.close()
        self.assertGreater(flood, 300)  # once a line each: about 100 bytes a connection
        rx.expect("in the last 5 s", timeout=8)
        time.sleep(5.5)
        rx._read(0.5)
        grown = len(rx.output) - before
        # A line or two per kind every 5 s, and the real transfers' own lines.
        self.assertLess(grown, 4000, rx.text()[before:])
        self.assertIn("Stored real.txt", rx.text())


if __name__ == "__main__":
    unittest.main()
