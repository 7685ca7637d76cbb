"""pitchr end to end against a raw receiver that checks every byte on the wire."""
import os
import re
import socket
import threading
import unittest

from harness import E2ETest, fresh_port, run_pitchr, work_files

PEER = "127.0.0.1"
SUMMARY = re.compile(r"Arrived: \d+ files?, [^\n]* in [^\n]*\n\Z")


def without_summary(test, out):
    """The output before the batch's closing summary line, which must be there."""
    test.assertRegex(out, SUMMARY)
    return SUMMARY.sub("", out)


class RawReceiver:
    """Accepts connections one at a time, records what each carried and answers with the
    next reply of its list (None: close without replying)."""

    def __init__(self, replies):
        self.replies = list(replies)
        self.transfers = []
        self.server = socket.create_server((PEER, fresh_port()))
        self.port = self.server.getsockname()[1]
        self.server.settimeout(0.1)
        self.stopping = False
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _read_line(self, conn):
        line = b""
        while True:
            ch = conn.recv(1)
            if not ch:
                raise ConnectionError("closed inside a header line")
            if ch == b"\r":
                return line
            line += ch

    def _serve(self):
        for reply in self.replies:
            while True:
                try:
                    conn, _ = self.server.accept()
                    break
                except socket.timeout:
                    if self.stopping:
                        return
            with conn:
                conn.settimeout(10)
                name, dest, size = (self._read_line(conn) for _ in range(3))
                body = b""
                while len(body) < int(size):
                    chunk = conn.recv(65536)
                    if not chunk:
                        break
                    body += chunk
                self.transfers.append((name, dest, size, body))
                if reply is not None:
                    conn.sendall(reply)

    def close(self):
        """Called once pitchr has ended: nothing more will connect."""
        self.stopping = True
        self.thread.join(timeout=30)
        self.server.close()


class Sending(E2ETest):
    def run_against(self, replies, args):
        """Runs pitchr against a scripted receiver; args is the list before the address and
        port, or a function of the port giving the whole list."""
        rx = RawReceiver(replies)
        try:
            argv = args(str(rx.port)) if callable(args) else [*args, PEER, str(rx.port)]
            status, out, err = run_pitchr(argv, cwd=self.dir)
        finally:
            rx.close()
        return status, out, rx.transfers

    def test_three_byte_file_on_the_wire(self):
        self.write("a.txt", b"abc")
        status, out, transfers = self.run_against([b"OK\r"], ["a.txt"])
        self.assertEqual(status, 0, out)
        self.assertEqual(transfers, [(b"a.txt", b"", b"3", b"abc")])
        # The list file names each file by a path that opens it from where pitchr runs.
        self.assertRegex(without_summary(self, out), rf"^{self.dir}/a\.txt -> {PEER}:\d+\n$")

    def test_destination_in_either_case(self):
        self.write("a.txt", b"abc")
        for arg, dest in (("TO:/tmp/in", b"/tmp/in"), ("to:/x", b"/x"), ("TO:", b"")):
            status, out, transfers = self.run_against([b"OK\r"], [arg, "a.txt"])
            self.assertEqual(status, 0, out)
            self.assertEqual(transfers[0][1], dest)
            out = without_summary(self, out)
            if dest:
                self.assertRegex(out, rf"^{self.dir}/a\.txt -> {PEER}:\d+/{dest.decode()}\n$")
            else:
                self.assertRegex(out, rf"^{self.dir}/a\.txt -> {PEER}:\d+\n$")

    def test_arguments_in_any_order(self):
        self.write("a.txt", b"abc")
        status, out, transfers = self.run_against([b"OK\r"], lambda port: ["TO:d", PEER, "a.txt", port])
        self.assertEqual(status, 0, out)
        self.assertEqual(transfers, [(b"a.txt", b"d", b"3", b"abc")])

    def test_three_files_from_one_spec(self):
        for name in ("f1.dat", "f2.dat", "f3.dat"):
            self.write(name, name.encode())
        for name in ("F0.dat", "f10.dat"):  # byte order: upper case first, then "f1" < "f10"
            self.write(name, name.encode())
        status, out, transfers = self.run_against([b"OK\r"] * 5, ["f*.dat"])
        self.assertEqual(status, 0, out)
        out = without_summary(self, out)
        self.assertEqual(len(out.splitlines()), 5)
        sent = [t[0] for t in transfers]
        listed = [line.split(" -> ")[0].rsplit("/", 1)[-1].encode() for line in out.splitlines()]
        self.assertEqual(sent, listed)
        self.assertEqual(sent, [b"F0.dat", b"f1.dat", b"f10.dat", b"f2.dat", b"f3.dat"])

    def test_reply_ok_in_any_case_but_nothing_else(self):
        self.write("a.txt", b"abc")
        status, out, _ = self.run_against([b"ok\r"], ["a.txt"])
        self.assertEqual(status, 0, out)
        status, out, _ = self.run_against([b"OKAY\r"], ["a.txt"])
        self.assertEqual(status, 1)
        self.assertTrue(without_summary(self, out).endswith("ERROR: OKAY\n"), out)

    def test_receiver_closing_without_reply(self):
        self.write("a.txt", b"abc")
        status, out, _ = self.run_against([None], ["a.txt"])
        self.assertEqual(status, 1)
        self.assertRegex(out, r"ERROR: No reply: the receiver closed the connection \(SCK_RECV:recv "
                              r"\(err #10[47]:[^)]*\) \(sd=\d+ sai=127\.0\.0\.1:\d+\)\)\n")

    def test_overlong_reply_is_an_error(self):
        self.write("a.txt", b"abc")
        status, out, _ = self.run_against([b"x" * 600 + b"\r"], ["a.txt"])
        self.assertEqual(status, 1)
        self.assertIn("ERROR: Reply longer than 512 bytes: " + "x" * 512 + "\n", out)

    def test_spec_matching_nothing_stops_the_batch(self):
        self.write("b.txt", b"b")
        status, out, transfers = self.run_against([b"OK\r"], ["none*.txt", "b.txt"])
        self.assertEqual(status, 1)
        self.assertEqual(transfers, [])
        self.assertTrue(out.endswith('ERROR: "none*.txt" not found\n'), out)

    def test_hidden_files_named_explicitly(self):
        self.write(".hidden", b"h")
        self.write("shown", b"s")
        status, out, transfers = self.run_against([b"OK\r"], ["*"])
        self.assertEqual([t[0] for t in transfers], [b"shown"])
        status, out, transfers = self.run_against([b"OK\r"], [".hid*"])
        self.assertEqual(status, 0, out)
        self.assertEqual([t[0] for t in transfers], [b".hidden"])

    def test_list_file_is_gone_after_every_run(self):
        before = work_files("pitchr")
        self.write("a.txt", b"abc")
        self.run_against([b"OK\r"], ["a.txt"])
        self.run_against([b"NO\r"], ["a.txt"])
        self.run_against([b"OK\r"], ["missing"])
        self.assertEqual(work_files("pitchr") - before, set())


class Arguments(E2ETest):
    def test_no_arguments_prints_the_usage(self):
        status, out, _ = run_pitchr([])
        self.assertEqual(status, 1)
        self.assertTrue(out.startswith("Usage: pitchr [OPTIONS] FILE-SPEC... [TO:DIR] [ADDRESS[:PORT]] [PORT]\n"))
        status, help_out, _ = run_pitchr(["--help"])
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith(help_out))
        status, out, _ = run_pitchr(["-V"])
        self.assertEqual(status, 0)
        self.assertRegex(out, r"^pitchr \d+\.\d+\.\d+\n$")

    def test_nothing_to_send_and_unknown_options_are_usage_errors(self):
        for args, why in ((["127.0.0.1"], "nothing to send"), (["-z", "a"], "unknown option -z")):
            status, out, err = run_pitchr(args)
            self.assertEqual((status, out), (2, ""))
            self.assertIn(f"pitchr: {why}", err)


if __name__ == "__main__":
    unittest.main()
