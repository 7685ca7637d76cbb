"""catchr end to end: the real receiver on a pseudo-terminal, driven by raw socket peers
that check every byte of the reply."""
import os
import re
import signal
import socket
import subprocess
import time
import unittest

from harness import (CATCHR, E2ETest, RX_ADDR, connect, fresh_port, read_until_cr,
                     rx_work_files, wait_listening)


class Transfers(E2ETest):
    def test_three_byte_file_and_its_exact_reply(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        with connect(port) as s:
            s.sendall(b"a.txt\r\r3\rabc")
            s.settimeout(5)
            self.assertEqual(s.recv(16), b"OK\r")
            self.assertEqual(s.recv(16), b"")  # the receiver closes after its reply
        with open(os.path.join(self.dir, "a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"abc")
        out = rx.expect(" (3)\n")
        self.assertRegex(out, rf"\n127\.0\.\d+\.\d+:\d+:{port} -> a\.txt \(3\)\n")
        self.assertIn(f"Listen at {RX_ADDR}:{port}\n", out)
        self.assertNotIn("Listen at 127.0.0.1:", out)

    def test_destination_directory_and_its_arrival_line(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        dest = os.path.join(self.dir, "in")
        os.mkdir(dest)
        self.assertEqual(self.send(port, b"a.txt\r" + dest.encode() + b"\r3\r", b"xyz"), b"OK")
        with open(os.path.join(dest, "a.txt"), "rb") as f:
            self.assertEqual(f.read(), b"xyz")
        rx.expect(f":{port} -> {dest}/a.txt (3)\n")

    def test_programs_and_scripts_get_execute_bits(self):
        port = fresh_port()
        self.start_receiver(str(port))
        for name in ("run.SH", "tool.Bin", "notes.txt"):
            self.assertEqual(self.send(port, name.encode() + b"\r\r2\r", b"hi"), b"OK")
        for name in ("run.SH", "tool.Bin"):
            self.assertEqual(os.stat(os.path.join(self.dir, name)).st_mode & 0o111, 0o111, name)
        self.assertEqual(os.stat(os.path.join(self.dir, "notes.txt")).st_mode & 0o111, 0)

    def test_missing_destination_directories_are_made_unless_the_line_has_dotdot(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        # Missing directories are made, but none along a line with "..".
        reply = self.send(port, b"a.txt\rnowhere/..\r3\r", b"abc").decode()
        self.assertEqual(reply, 'nowhere/../a.txt: not stored: directory "nowhere" cannot be made or opened '
                                '(No such file or directory)')
        self.assertEqual(os.listdir(self.dir), [])
        self.assertEqual(self.send(port, b"b.txt\rsub/dir\r1\r", b"b"), b"OK")
        self.assertTrue(os.path.isfile(os.path.join(self.dir, "sub/dir/b.txt")))
        # A log gets whole lines naming the peer, and no bells.
        self.assertRegex(rx.expect(reply), r"\nERROR: " + re.escape(reply) + r" \(from 127\.[\d.]+:\d+\)\n")

    def test_bad_size_lines_are_refused_with_the_reason(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        for line, why in ((b"abc", "digits only"), (b"+5", "digits only"), (b"5\0", "digits only"),
                          (b"", "empty"), (b"05", "no leading zeros"),
                          (b"18446744073709551616", "larger than 18446744073709551615")):
            shown = line.replace(b"\0", b"\\x00").decode()
            reply = self.send(port, b"a.txt\r\r" + line + b"\r", b"xyz")
            self.assertEqual(reply, f'bad size line "{shown}": {why}'.encode(), line)
            rx.expect(f'ERROR: bad size line "{shown}": {why} (from ')
        self.assertEqual(os.listdir(self.dir), [])

    def test_peer_closing_after_the_size_line(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        with connect(port) as s:
            s.sendall(b"a.txt\r\r10\r")
        out = rx.expect("ERROR: ")
        self.assertRegex(out, r"ERROR: a\.txt: the sender went away after 0 B of 10 B; nothing stored \(from 127\.[\d.]+:\d+\)")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "a.txt")))

    def test_a_waiting_peer_holds_up_nobody(self):
        port = fresh_port()
        self.start_receiver(str(port))
        first, second = connect(port), connect(port)
        with first, second:
            first.sendall(b"one\r\r3\ro")  # and the rest much later
            self.assertEqual(self.send(port, b"two\r\r3\r", b"two"), b"OK")
            second.sendall(b"thr")  # a header in pieces: nothing is lost between them
            second.sendall(b"ee\r\r5\rth")
            second.sendall(b"ree")
            self.assertEqual(read_until_cr(second), b"OK")
            first.sendall(b"ne")
            self.assertEqual(read_until_cr(first), b"OK")
        for name in ("one", "two", "three"):
            with open(os.path.join(self.dir, name), "rb") as f:
                self.assertEqual(f.read(), name.encode())


class MendedFaults(E2ETest):
    def test_empty_file_is_delivered(self):
        port = fresh_port()
        self.start_receiver(str(port))
        self.assertEqual(self.send(port, b"empty.txt\r\r0\r"), b"OK")
        self.assertEqual(os.path.getsize(os.path.join(self.dir, "empty.txt")), 0)

    def test_surplus_bytes_are_never_stored(self):
        port = fresh_port()
        self.start_receiver(str(port))
        self.assertEqual(self.send(port, b"ten\r\r10\r0123456789AB"), b"OK")
        with open(os.path.join(self.dir, "ten"), "rb") as f:
            self.assertEqual(f.read(), b"0123456789")

    def test_overlong_header_line_ends_the_transfer(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        self.assertIsNone(self.send(port, b"n" * 257 + b"\r\r1\rx"))
        rx.expect("ERROR: a header line longer than 256 bytes; connection closed")
        # A line of exactly 256 bytes still fits: here the directory, "./" 128 times.
        self.assertEqual(self.send(port, b"m" * 255 + b"\r" + b"./" * 128 + b"\r1\rx"), b"OK")
        with open(os.path.join(self.dir, "m" * 255), "rb") as f:
            self.assertEqual(f.read(), b"x")

    def test_unsafe_names_are_refused_after_the_body(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        os.mkdir(os.path.join(self.dir, "sub"))
        cases = [  # (name line, how the refusal shows it)
            (b"", b""), (b".", b"."), (b"..", b".."), (b"../escape", b"../escape"), (b"a/b", b"a/b"),
            (b"nul\0/../../x", b"nul\\x00/../../x"), (b"a\nb", b"a\\x0Ab"), (b"\x1b[2Jx", b"\\x1B[2Jx"),
        ]
        for name, shown in cases:
            reply = self.send(port, name + b"\rsub\r1\rx")
            self.assertEqual(reply, b'"' + shown + b'": not stored: a file name may not be empty, \".\" or \"..\", nor hold \"/\" or a control character', name)
        self.assertEqual(self.send(port, b"ok\rsub\0/..\r1\rx"),
                         b'sub\\x00/../ok: not stored: the directory "sub\\x00/.." holds a control character')
        self.assertEqual(sorted(os.listdir(self.dir)), ["sub"])
        self.assertEqual(os.listdir(os.path.join(self.dir, "sub")), [])
        out = rx.expect('holds a control character')
        self.assertIn('ERROR: "\\x1B[2Jx": not stored: a file name may not be empty', out)
        self.assertNotIn("\x1b", out)  # nothing a peer sends reaches the terminal raw


class Lifecycle(E2ETest):
    def test_bad_arguments_are_usage_errors_naming_the_cause(self):
        cases = (("70000", 'bad port "70000": a number from 0 to 65535'), ("abc", 'bad port "abc"'),
                 ("-1", "unknown option -1"), ("--allow=x", "unknown option --allow=x"),
                 ("--allow", "option --allow needs a value"))
        for arg, why in cases:
            proc = subprocess.run([CATCHR, arg], capture_output=True, stdin=subprocess.DEVNULL, timeout=10)
            self.assertEqual(proc.returncode, 2, arg)
            self.assertEqual(proc.stdout, b"")
            self.assertTrue(proc.stderr.decode().startswith(f"catchr: {why}"), proc.stderr)
        proc = subprocess.run([CATCHR, "--help"], capture_output=True, stdin=subprocess.DEVNULL, timeout=10)
        self.assertEqual(proc.returncode, 0)
        self.assertTrue(proc.stdout.startswith(b"Usage: catchr [OPTIONS] [PORT]\n"))

    def test_extra_arguments_are_ignored(self):
        port = fresh_port()
        rx = self.start_receiver(str(port), "extra")
        rx.expect(f"Listen at {RX_ADDR}:{port}\n")

    def test_key_press_ends_the_receiver(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        rx.press_key()
        self.assertEqual(rx.wait(), 1)
        self.assertNotIn("->", rx.text())
        self.assertTrue(rx.text().endswith("Stopped by a key press; no file was arriving\n"), rx.text())

    def test_a_key_during_a_body_asks_first_then_q_stops_and_the_sender_hears_it(self):
        for tty in (False, True):
            port = fresh_port()
            rx = self.start_receiver(str(port), tty=tty)
            with connect(port) as s:
                s.sendall(b"part.bin\r\r100\r" + b"x" * 10)
                rx.expect("part.bin")
                rx.press_key(b"\r")  # Enter by mistake: nothing stops
                rx.expect("1 transfer in progress: press q again to stop")
                s.sendall(b"x" * 10)
                rx.press_key(b"q")
                self.assertEqual(rx.wait(), 1)
                self.assertEqual(read_until_cr(s), b"the receiver was stopped")
            self.assertIn("Stopped by a key press; aborted, nothing stored: part.bin (20 B of 100 B)\n", rx.text())
            self.assertFalse(os.path.exists(os.path.join(self.dir, "part.bin")))

    def test_signals_end_it_like_a_key(self):
        for sig, name in ((signal.SIGTERM, "SIGTERM"), (signal.SIGINT, "SIGINT (Ctrl-C)"), (signal.SIGHUP, "SIGHUP")):
            port = fresh_port()
            rx = self.start_receiver(str(port))
            with connect(port) as s:  # a body under way: its work file goes with the receiver
                s.sendall(b"part.bin\rsub\r100\r" + b"x" * 10)
                rx.expect("part.bin (100)")
                deadline = time.monotonic() + 5  # made just after the arrival line is printed
                while not rx_work_files(self.dir) and time.monotonic() < deadline:
                    time.sleep(0.01)
                self.assertEqual(len(rx_work_files(self.dir)), 1)
                os.kill(rx.pid, sig)
                self.assertEqual(rx.wait(), 1, sig)
            self.assertEqual(rx_work_files(self.dir), set())
            self.assertIn(f"Stopped by {name}; aborted, nothing stored: sub/part.bin (10 B of 100 B)\n", rx.text())

    def test_serves_without_a_terminal_with_prompt_output(self):
        port = fresh_port()
        with subprocess.Popen([CATCHR, str(port)], cwd=self.dir, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE) as proc:
            try:
                # Line-buffered: the line is there while the program still runs.
                self.assertEqual(proc.stdout.readline(), f"Listen at {RX_ADDR}:{port}\n".encode())
                wait_listening(port)
                with connect(port) as s:
                    s.sendall(b"a\r\r1\rz")
                    self.assertEqual(read_until_cr(s), b"OK")
                self.assertIn(b"-> a (1)", proc.stdout.readline())
                proc.send_signal(signal.SIGTERM)
                self.assertEqual(proc.wait(timeout=5), 1)
            finally:
                proc.kill()


if __name__ == "__main__":
    unittest.main()
