"""catchr's write policy (-d, --confine, --no-clobber, --allow, --no-exec-bits, -q) seen by a
raw sender and by pitchr, and its output on a terminal and in a log."""
import os
import socket
import time
import unittest

from harness import RX_ADDR, E2ETest, connect, fresh_port, read_until_cr, run_pitchr


class Policy(E2ETest):
    def test_confined_receiver_refuses_what_would_land_outside(self):
        inbox = os.path.join(self.dir, "inbox")
        outside = os.path.join(self.dir, "outside")
        os.makedirs(os.path.join(inbox, "ok"))
        os.mkdir(outside)
        os.symlink(outside, os.path.join(inbox, "out"))
        os.symlink("..", os.path.join(inbox, "ok", "in"))
        port = fresh_port()
        rx = self.start_receiver("-d", inbox, "--confine", str(port), cwd=self.dir)
        refusals = [  # (directory line, reply)
            (outside, f'{outside}/f.txt: not stored: the destination "{outside}" is outside the receiving directory '
                      '(--confine)'),
            ("ok/../..", 'ok/../../f.txt: not stored: the destination "ok/../.." is outside the receiving directory '
                         '(--confine)'),
            ("out", 'out/f.txt: not stored: the destination "out" passes through a symbolic link at "out" (--confine)'),
            ("out/deeper", 'out/deeper/f.txt: not stored: the destination "out/deeper" passes through a symbolic link '
                           'at "out" (--confine)'),
            # A link is refused even where it leads back inside: nothing is resolved through one.
            ("ok/in", 'ok/in/f.txt: not stored: the destination "ok/in" passes through a symbolic link at "ok/in" '
                      '(--confine)'),
        ]
        for dest, reply in refusals:
            self.assertEqual(self.send(port, b"f.txt\r" + dest.encode() + b"\r1\r", b"x").decode(), reply)
        self.assertEqual(os.listdir(outside), [])
        for dest in (b"", b"ok", b"new/tree"):
            self.assertEqual(self.send(port, b"f.txt\r" + dest + b"\r1\r", b"x"), b"OK")
        self.assertEqual(sorted(os.listdir(inbox)), ["f.txt", "new", "ok", "out"])
        self.assertTrue(os.path.isfile(os.path.join(inbox, "new/tree/f.txt")))
        # pitchr prints the refusal as its error.
        src = self.write("p.txt", b"p")
        status, out, _ = run_pitchr([src, "TO:/etc", RX_ADDR, str(port)])
        self.assertEqual(status, 1)
        self.assertIn('/etc/p.txt: not stored: the destination "/etc" is outside the receiving directory (--confine)', out)
        rx.expect('the destination "/etc" is outside')

    def test_no_clobber_keeps_existing_files(self):
        self.write("kept.txt", b"old")
        port = fresh_port()
        self.start_receiver("--no-clobber", str(port))
        self.assertEqual(self.send(port, b"kept.txt\r\r3\r", b"new"),
                         b"kept.txt: not stored: it exists, and --no-clobber keeps it")
        with open(os.path.join(self.dir, "kept.txt"), "rb") as f:
            self.assertEqual(f.read(), b"old")
        self.assertEqual(self.send(port, b"fresh.txt\r\r3\r", b"new"), b"OK")

    def test_allow_turns_other_peers_away_with_the_reason(self):
        port = fresh_port()
        # Connections here come from 127.0.0.1: not in the first list, in the second.
        rx = self.start_receiver("--allow", "10.0.0.0/8,127.0.0.2", str(port))
        with connect(port) as s:
            s.sendall(b"a.txt\r\r1\rx")
            self.assertEqual(read_until_cr(s), b"not allowed from 127.0.0.1")
        rx.expect("ERROR: Connection from 127.0.0.1:")
        self.assertIn("refused: not in --allow\n", rx.text())
        self.assertFalse(os.path.exists(os.path.join(self.dir, "a.txt")))
        port = fresh_port()
        self.start_receiver("--allow", "127.0.0.0/8", str(port))
        self.assertEqual(self.send(port, b"a.txt\r\r1\r", b"x"), b"OK")

    def test_no_exec_bits_and_quiet(self):
        port = fresh_port()
        rx = self.start_receiver("--no-exec-bits", "-q", str(port), ready=False)
        deadline = time.monotonic() + 5
        while True:  # -q: no Listen line to wait for
            try:
                reply = self.send(port, b"run.sh\r\r2\r", b"hi")
                break
            except ConnectionRefusedError:
                self.assertLess(time.monotonic(), deadline)
                time.sleep(0.05)
        self.assertEqual(reply, b"OK")
        self.assertEqual(os.stat(os.path.join(self.dir, "run.sh")).st_mode & 0o111, 0)
        self.send(port, b"..\r\r1\r", b"x")
        out = rx.expect("ERROR: \"..\": not stored")
        self.assertTrue(out.startswith("ERROR: \"..\": not stored: a file name may not be empty"), out)


class Output(E2ETest):
    def test_log_lines_for_each_arrival_and_stored_file_without_bells(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        self.assertEqual(self.send(port, b"a.txt\rsub\r3\r", b"abc"), b"OK")
        self.send(port, b"/\r\r1\r", b"x")
        out = rx.expect("ERROR: ")
        self.assertRegex(out, rf"127\.0\.0\.1:\d+:{port} -> sub/a\.txt \(3\)\n"
                              rf"Stored sub/a\.txt \(3\) in [\d.]+ s from 127\.0\.0\.1:\d+\n")
        self.assertNotIn("\a", out)
        self.assertNotIn("Note:", out)  # the warning is for a person at a terminal

    def test_terminal_shows_arrivals_moving_and_how_each_ended(self):
        port = fresh_port()
        rx = self.start_receiver(str(port), tty=True)
        first, second = connect(port), connect(port)
        with first, second:
            first.sendall(b"one.bin\r\r200000\r" + b"1" * 1000)
            second.sendall(b"two.bin\r\r200000\r" + b"2" * 1000)
            rx.expect("2 arriving:")
            first.sendall(b"1" * 199000)
            self.assertEqual(read_until_cr(first), b"OK")
            second.close()
            out = rx.expect("the sender went away")
        self.assertIn("Note: any host that reaches port", out)
        self.assertRegex(out, r"\r\x1b\[K127\.0\.0\.1:\d+ -> one\.bin  195 KiB  [\d.]+ s  .+/s  stored\n")
        self.assertRegex(out, r"127\.0\.0\.1:\d+ -> two\.bin  1000 B of 195 KiB  .*ERROR: two\.bin: the sender went away after "
                              r"1000 B of 195 KiB; nothing stored")
        self.assertIn("one.bin 0% ", out)
        self.assertIn("\x1b[K", out)
        rx.kill()
        port = fresh_port()
        confined = self.start_receiver("--confine", str(port), tty=True)
        first = confined.expect("Press q to stop")
        self.assertNotIn("Note:", first)
        # The first screen says where files go, what to type on the other PC, how to stop.
        self.assertIn(f"Listen at {RX_ADDR}:{port}\nReceiving into {os.path.realpath(self.dir)}\n"
                      f"On the sending PC, type: pitchr FILE {RX_ADDR} -p {port}\n"
                      "Press q to stop (while files arrive, it asks first).\n", first)


if __name__ == "__main__":
    unittest.main()
