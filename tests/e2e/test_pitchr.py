"""pitchr end to end against a raw receiver that checks every byte on the wire."""
import os
import re
import socket
import threading
import unittest

from harness import E2ETest, fresh_port, run_pitchr, work_files

PEER = "127.0.0.1"
SUMMARY = re.compile(r"Arrived: \d+ files?, [^\n]* in [^\n]*\n\Z")
CLASSIC = re.compile(rf"{re.escape(PEER)}:\d+ speaks only the classic protocol: files are neither verified nor "
                     r"resumed\n")


def without_summary(test, out):
    """The output before the batch's closing summary line, which must be there, and without
    the line that says once that the receiver speaks only the classic protocol."""
    test.assertRegex(out, SUMMARY)
    test.assertLessEqual(len(CLASSIC.findall(out)), 1, out)
    return CLASSIC.sub("", SUMMARY.sub("", out))


class RawReceiver:
    """Accepts connections one at a time, records what each carried and answers with the
    next reply of its list (None: close without replying). It speaks the classic protocol
    only: a hello gets the error of the last receiver before the extension, and is not
    recorded."""

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
            while (served := self._one(reply)) == "hello":
                pass
            if served is None:
                return

    def _one(self, reply):
        """Serves one connection: "hello" when it carried one (the reply then waits), "file",
        or None once pitchr has ended."""
        while True:
            try:
                conn, _ = self.server.accept()
                break
            except socket.timeout:
                if self.stopping:
                    return None
        with conn:
            conn.settimeout(10)
            name, dest, size = (self._read_line(conn) for _ in range(3))
            if not size.isdigit():
                conn.sendall(b'bad size line "' + size + b'": digits only\r')
                return "hello"
            body = b""
            while len(body) < int(size):
                chunk = conn.recv(65536)
                if not chunk:
                    break
                body += chunk
            self.transfers.append((name, dest, size, body))
            if reply is not None:
                conn.sendall(reply)
        return "file"

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

    def test_reply_ok_in_any_case_is_success(self):
        self.write("a.txt", b"abc")
        for reply in (b"OK\r", b"ok\r", b"oK\rand more"):
            status, out, _ = self.run_against([reply], ["a.txt"])
            self.assertEqual(status, 0, out)

    def test_each_failure_says_what_happened_to_which_file(self):
        self.write("a.txt", b"abc")
        a = f"{self.dir}/a.txt"
        cases = (  # (the receiver's reply, None: it closes without one; the line pitchr prints)
            (b"OKAY\r", f"ERROR: {a}: not stored: OKAY"),
            (b"disk full\r", f"ERROR: {a}: not stored: disk full"),
            # A reply that names the file itself stands as it is.
            (b"a.txt: not stored: it exists\r", "ERROR: a.txt: not stored: it exists"),
            (b"\r", f"ERROR: {a}: not stored: the receiver replied with an empty line"),
            (None, f"ERROR: {a}: the receiver closed the connection without a reply after all 3 B"),
            (b"x" * 600 + b"\r", f"ERROR: {a}: not stored: the receiver's reply is longer than 512 bytes: "
                                 + "x" * 512),
        )
        for reply, line in cases:
            with self.subTest(reply=reply):
                status, out, _ = self.run_against([reply], ["a.txt"])
                self.assertEqual(status, 1)
                self.assertEqual(without_summary(self, out).splitlines()[-1], line)
        port = fresh_port()  # nothing listens there
        status, out, _ = run_pitchr(["a.txt", PEER, str(port)], cwd=self.dir)
        self.assertEqual(status, 1)
        self.assertIn(f"ERROR: {a}: not sent: nothing listens at {PEER}:{port} (is catchr running there? "
                      "is the port right?)\n", out)

    def test_v_adds_the_internal_trail(self):
        self.write("a.txt", b"abc")
        status, out, _ = self.run_against([None], ["-v", "a.txt"])
        self.assertEqual(status, 1)
        self.assertRegex(out, r"without a reply after all 3 B \(SCK_RECV:recv \(err #10[47]:[^)]*\) "
                              r"\(sd=\d+ sai=127\.0\.0\.1:\d+\)\)\n")
        status, out, _ = run_pitchr(["-v", "a.txt", PEER, str(fresh_port())], cwd=self.dir)
        self.assertIn("is the port right?) (connect (err #111:Connection refused))\n", out)

    def test_spec_matching_nothing_stops_the_batch(self):
        self.write("b.txt", b"b")
        status, out, transfers = self.run_against([b"OK\r"], ["none*.txt", "b.txt"])
        self.assertEqual(status, 1)
        self.assertEqual(transfers, [])
        self.assertTrue(out.endswith('ERROR: "none*.txt" not found; nothing was sent\n'), out)

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
        self.run_against([b"OK\r"], ["missing*"])
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

    def test_no_arguments_ends_with_how_to_send_a_file(self):
        status, out, _ = run_pitchr([])
        self.assertEqual(status, 1)
        self.assertTrue(out.endswith("\n\nSend a file: pitchr FILE ADDRESS   (more: pitchr --help)\n"), out)

    def test_nothing_to_send_and_unknown_options_are_usage_errors(self):
        for args, why in ((["127.0.0.1"], "nothing to send"), (["-z", "a"], "unknown option -z")):
            status, out, err = run_pitchr(args)
            self.assertEqual((status, out), (2, ""))
            self.assertIn(f"pitchr: {why}", err)

    def test_a_mistyped_address_is_a_usage_error_and_nothing_is_sent(self):
        self.write("a.txt", b"abc")
        rx = RawReceiver([b"OK\r"])
        try:
            for args, arg in ((["a.txt", "127.0.0.l", str(rx.port)], "127.0.0.l"),
                              (["a.txt", "a.txx", PEER, str(rx.port)], "a.txx"),
                              (["a.txt", "rxhots", str(rx.port)], "rxhots")):
                status, out, err = run_pitchr(args, cwd=self.dir)
                self.assertEqual((status, out), (2, ""), err)
                self.assertEqual(err, f'pitchr: "{arg}" is neither a file here nor an address\n'
                                      "Try 'pitchr --help' for the command line.\n")
        finally:
            rx.close()
        self.assertEqual(rx.transfers, [])


if __name__ == "__main__":
    unittest.main()
