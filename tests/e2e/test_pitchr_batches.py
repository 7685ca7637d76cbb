"""pitchr's batches end to end: what is checked before anything is sent, -k, trees with -r,
clear words for each failure, and progress on a terminal."""
import os
import pty
import re
import select
import socket
import subprocess
import threading
import time
import unittest

from harness import PITCHR, RX_ADDR, E2ETest, fresh_port, run_pitchr
from test_pitchr import PEER, RawReceiver


def refuse_hello(server):
    """Takes the hello's connection and closes it without a word, as the first receivers
    did: the file then comes by the classic protocol on a connection of its own."""
    conn, _ = server.accept()
    with conn:
        data = b""
        while data.count(b"\r") < 3:
            data += conn.recv(1)


class Checks(E2ETest):
    """Everything that can be known before a connection is known before it."""

    def raw(self, replies, args):
        rx = RawReceiver(replies)
        try:
            status, out, err = run_pitchr([*args, PEER, str(rx.port)], cwd=self.dir)
        finally:
            rx.close()
        return status, out + err, [t[0] for t in rx.transfers]

    def test_every_file_spec_is_expanded_before_the_first_file_goes(self):
        self.write("a.txt", b"a")
        status, out, sent = self.raw([b"OK\r"], ["a.txt", "none*.txt"])
        self.assertEqual((status, sent), (1, []))
        self.assertEqual(out, 'ERROR: "none*.txt" not found; nothing was sent\n')

    def test_files_that_cannot_be_sent_fail_before_connecting_and_k_goes_on(self):
        self.write("a.txt", b"a")
        self.write("b.txt", b"b")
        os.mkfifo(os.path.join(self.dir, "fifo"))
        os.symlink("vanished", os.path.join(self.dir, "gone.lnk"))
        self.write("x\ny", b"lf")
        status, out, sent = self.raw([b"OK\r"] * 2, ["-k", "a.txt", "fifo", "gone.lnk", "x\ny", "b.txt"])
        self.assertEqual(status, 1, out)
        self.assertEqual(sent, [b"a.txt", b"b.txt"])  # no connection for the others
        d = self.dir
        self.assertIn(f"ERROR: {d}/fifo: not sent: it is a FIFO, not a regular file\n", out)
        self.assertIn(f"ERROR: {d}/gone.lnk: not sent: it cannot be opened (No such file or directory)\n", out)
        self.assertIn("ERROR: x\\x0Ay: not sent: its name holds a CR or LF, which no header line can carry\n", out)
        self.assertIn("x\\x0Ay -> ", out)  # the name is shown escaped wherever it is printed
        tail = out.split("Not sent (3):\n")[1].splitlines()
        self.assertEqual([line.strip().split(": ")[0] for line in tail[:3]], [f"{d}/fifo", f"{d}/gone.lnk", "x\\x0Ay"])
        self.assertRegex(tail[3], r"^Arrived: 2 files, 2 B in .*; failed: 3$")

    def test_without_k_the_first_failure_ends_the_batch(self):
        for name in ("a1", "a2", "a3"):
            self.write(name, b"x")
        status, out, sent = self.raw([b"OK\r", b"disk full\r", b"OK\r"], ["a*"])
        self.assertEqual((status, sent), (1, [b"a1", b"a2"]))
        self.assertRegex(out, r"ERROR: [^\n]*/a2: not stored: disk full\nArrived: 1 file, 1 B in .*; failed: 1; "
                              r"not tried: 1\n$")

    def test_no_address_says_the_default_is_used(self):
        # Nothing matches, so nothing is sent anywhere: the default address is never contacted.
        status, out, _ = run_pitchr(["none*.txt"], cwd=self.dir)
        self.assertEqual(status, 1)
        self.assertEqual(out, 'No address given: sending to the default address 192.168.0.1\n'
                              'ERROR: "none*.txt" not found; nothing was sent\n')

    def test_a_file_that_shrinks_while_sent_fails_at_once(self):
        path = self.write("big.bin", os.urandom(16 * 1024 * 1024))
        server = socket.create_server((PEER, fresh_port()))
        server.settimeout(10)
        port = server.getsockname()[1]
        got = []

        def slow_reader():
            refuse_hello(server)
            conn, _ = server.accept()
            with conn:
                conn.recv(100)
                time.sleep(1)  # pitchr now waits on a full socket; the file shrinks meanwhile
                os.truncate(path, 1024 * 1024)
                conn.settimeout(10)
                while chunk := conn.recv(1 << 20):
                    got.append(len(chunk))

        reader = threading.Thread(target=slow_reader)
        reader.start()
        start = time.monotonic()
        status, out, _ = run_pitchr([path, PEER, str(port)])
        took = time.monotonic() - start
        reader.join(timeout=20)
        server.close()
        self.assertEqual(status, 1)
        self.assertLess(took, 10, out)  # not the 20 s reply wait
        self.assertIn(f"ERROR: {path}: it shrank from 16.0 MiB to 1.0 MiB while being sent; not stored\n", out)


class OlderReceiver(E2ETest):
    """A receiver that closes without a word after the header of a file of 2 GiB or more is
    called an older one only when it answers the probe: a header it can read, of one byte
    under an empty name, which every receiver refuses after the body."""

    def run_against_old(self, answers_probe):
        path = os.path.join(self.dir, "huge.img")
        with open(path, "wb") as f:
            f.truncate(2 ** 31)  # sparse: one byte more than an older receiver takes
        server = socket.create_server((PEER, fresh_port()))
        server.settimeout(10)
        seen = []

        def old_catchr():
            refuse_hello(server)
            for _ in range(2):
                conn, _ = server.accept()
                with conn:
                    data = b""
                    while data.count(b"\r") < 3:
                        data += conn.recv(1)
                    if data.endswith(b"\r1\r"):  # a size it can read: it takes the body and replies
                        data += conn.recv(1)
                        if answers_probe:
                            conn.sendall(b'Unsafe file name "" refused\r')
                    seen.append(data)
                    # Else it cannot read the size, and closes with the body still arriving.

        peer = threading.Thread(target=old_catchr)
        peer.start()
        status, out, _ = run_pitchr([path, PEER, str(server.getsockname()[1])])
        peer.join(timeout=20)
        server.close()
        self.assertEqual(status, 1)
        self.assertEqual(seen, [b"huge.img\r\r2147483648\r", b"\r\r1\r-"])  # nothing it could store
        return path, out

    def test_an_older_receiver_is_named_when_it_answers_a_small_header(self):
        path, out = self.run_against_old(answers_probe=True)
        self.assertIn(f"ERROR: {path}: not stored: the receiver does not take files of 2 GiB or more (an older "
                      "catchr; update catchr there)\n", out)

    def test_otherwise_the_receiver_closed_the_connection(self):
        path, out = self.run_against_old(answers_probe=False)
        self.assertRegex(out, rf"ERROR: {re.escape(path)}: the receiver closed the connection without a reply "
                              r"after [\d.]+ [KM]?i?B of 2\.0 GiB\n")
        self.assertNotIn("older", out)


class EarlyReply(E2ETest):
    def test_a_receiver_that_refuses_at_the_header_and_closes_is_heard(self):
        path = self.write("big.bin", os.urandom(8 * 1024 * 1024))
        server = socket.create_server((PEER, fresh_port()))
        server.settimeout(10)

        def refusing_receiver():
            for _ in range(2):  # the hello, then the file by the classic protocol
                conn, _ = server.accept()
                with conn:
                    data = b""
                    while data.count(b"\r") < 3:
                        data += conn.recv(1)
                    conn.sendall(b"not allowed from 127.0.0.1\r")
                    time.sleep(0.2)  # the body fills its queue, unread: closing resets the connection

        peer = threading.Thread(target=refusing_receiver)
        peer.start()
        status, out, _ = run_pitchr(["-v", path, PEER, str(server.getsockname()[1])])
        peer.join(timeout=10)
        server.close()
        self.assertEqual(status, 1, out)
        # The reply is the cause; the failed send (reset, or a broken pipe) only the trail.
        self.assertRegex(out, rf"ERROR: {re.escape(path)}: not stored: not allowed from 127\.0\.0\.1 "
                              r"\(send \(err #(104|32):")


class Trees(E2ETest):
    def setUp(self):
        super().setUp()
        for rel, data in (("photos/a.jpg", b"a"), ("photos/2024/b.jpg", b"b"), ("photos/2024/deep/c.jpg", b"c"),
                          ("photos/.hidden", b"h"), ("photos/.hdir/x", b"x")):
            self.write(rel, data)
        os.mkdir(os.path.join(self.dir, "photos", "empty"))
        os.symlink("2024", os.path.join(self.dir, "photos", "link"))  # never followed
        self.dst = os.path.join(self.dir, "dst")
        os.mkdir(self.dst)
        self.port = fresh_port()
        self.rx = self.start_receiver(str(self.port), cwd=self.dst)

    def tree(self, top):
        found = []
        for root, _, files in os.walk(top):
            found += [os.path.relpath(os.path.join(root, f), top) for f in files]
        return sorted(found)

    def test_tree_is_rebuilt_under_the_destination(self):
        status, out, _ = run_pitchr(["-r", "photos", "TO:backup", RX_ADDR, str(self.port)], cwd=self.dir)
        self.assertEqual(status, 0, out)
        self.assertEqual(self.tree(self.dst), ["backup/photos/2024/b.jpg", "backup/photos/2024/deep/c.jpg",
                                               "backup/photos/a.jpg"])
        self.assertIn(f"photos/2024/deep/c.jpg -> {RX_ADDR}:{self.port}/backup/photos/2024/deep\n", out)
        with open(os.path.join(self.dst, "backup/photos/2024/deep/c.jpg"), "rb") as f:
            self.assertEqual(f.read(), b"c")

    def test_without_destination_and_with_hidden_files(self):
        status, out, _ = run_pitchr(["-ra", "photos/", RX_ADDR, str(self.port)], cwd=self.dir)
        self.assertEqual(status, 0, out)
        self.assertEqual(self.tree(self.dst), ["photos/.hdir/x", "photos/.hidden", "photos/2024/b.jpg",
                                               "photos/2024/deep/c.jpg", "photos/a.jpg"])

    def test_a_directory_without_r_sends_its_own_files_only_and_says_so(self):
        self.write("photos/b.jpg", b"b")
        for fspec in ("photos", "photos/"):
            status, out, _ = run_pitchr([fspec, RX_ADDR, str(self.port)], cwd=self.dir)
            self.assertEqual(status, 0, out)
            self.assertEqual(self.tree(self.dst), ["a.jpg", "b.jpg"])
            self.assertTrue(out.startswith("photos/ is a directory: sending its 2 files; use -r for the whole tree\n"),
                            out)
        status, out, _ = run_pitchr(["-r", "photos", RX_ADDR, str(self.port)], cwd=self.dir)
        self.assertNotIn("is a directory", out)


def on_terminal(args):
    """Runs pitchr on a pseudo-terminal of its own; gives (exit status, what it showed)."""
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.execv(PITCHR, [PITCHR, *args])
        finally:
            os._exit(127)
    out = b""
    while True:
        ready, _, _ = select.select([fd], [], [], 20)
        try:
            data = os.read(fd, 65536) if ready else b""
        except OSError:
            data = b""
        if not data:
            break
        out += data
    _, status = os.waitpid(pid, 0)
    os.close(fd)
    return os.waitstatus_to_exitcode(status), out.decode("latin-1")


class Progress(E2ETest):
    def test_a_terminal_sees_a_progress_line_then_the_outcome(self):
        port = fresh_port()
        dst = os.path.join(self.dir, "dst")
        os.mkdir(dst)
        self.start_receiver(str(port), cwd=dst)
        path = self.write("big.bin", os.urandom(3 * 1024 * 1024))
        status, text = on_terminal([path, RX_ADDR, str(port)])
        self.assertEqual(status, 0, text)
        self.assertIn(f"\r{path}  ", text)  # drawn in place, not as a line of its own
        self.assertIn("\x1b[K", text)
        self.assertNotIn(" -> ", text)
        self.assertRegex(text, rf"\r\x1b\[K{path}  3\.0 MiB  [\d.:]+ s?  .+/s  OK, verified\r?\n")
        self.assertRegex(text, r"Arrived: 1 file, 3\.0 MiB in .*\r?\n$")

    def test_hostile_replies_are_printed_escaped_on_a_terminal_and_in_a_log(self):
        self.write("a.txt", b"a")
        hostile = b"\x1b[2J\x1b]0;owned\x07\xc2\x9b31m\x9bx"
        shown = r"\x1B[2J\x1B]0;owned\x07\xC2\x9B31m\x9Bx"
        cases = ((hostile + b"\r", f"not stored: {shown}"),
                 (hostile + b"y" * 600 + b"\r",
                  f"not stored: the receiver's reply is longer than 512 bytes: {shown}" + "y" * (512 - len(hostile))))
        for reply, said in cases:
            for terminal in (True, False):
                with self.subTest(long=len(reply) > 512, terminal=terminal):
                    rx = RawReceiver([reply])
                    args = [os.path.join(self.dir, "a.txt"), PEER, str(rx.port)]
                    try:
                        status, text = on_terminal(args) if terminal else run_pitchr(args)[:2]
                    finally:
                        rx.close()
                    self.assertEqual(status, 1)
                    self.assertIn(f"/a.txt: {said}" + ("\a\r\n" if terminal else "\n"), text)
                    for raw in ("\x1b[2J", "\x1b]", "\x9b", "\xc2"):
                        self.assertNotIn(raw, text)

    def test_the_bell_rings_on_a_terminal_only(self):
        args = [os.path.join(self.dir, "none*.txt"), PEER, str(fresh_port())]
        status, text = on_terminal(args)
        self.assertEqual(status, 1)
        self.assertRegex(text, r'ERROR: ".*none\*\.txt" not found; nothing was sent\a\r?\n$')
        status, out, _ = run_pitchr(args)
        self.assertEqual(status, 1)
        self.assertNotIn("\a", out)


if __name__ == "__main__":
    unittest.main()
