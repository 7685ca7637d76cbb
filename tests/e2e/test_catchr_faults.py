"""catchr under faults: full disks, a directory in the way, idle and slow peers, a busy
port, a host without addresses yet, and what it leaves in /var/tmp."""
import os
import re
import socket
import subprocess
import time
import unittest

from harness import (CATCHR, E2ETest, RX_ADDR, connect, fresh_port, read_until_cr,
                     run_pitchr, rx_work_files, wait_listening)

MiB = 1024 * 1024


def sh(*cmd):
    subprocess.run(cmd, check=True, capture_output=True)


class FailedStores(E2ETest):
    """A store that fails leaves every final name as it was and tells the sender why."""

    def tmpfs(self, path, size="1m"):
        os.makedirs(path, exist_ok=True)
        sh("mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path)
        self.addCleanup(sh, "umount", "-l", path)
        return path

    def test_room_is_decided_at_the_header_on_the_destination_disk(self):
        port = fresh_port()
        rx = self.start_receiver(str(port), "--min-free", "0")
        dst = self.tmpfs(os.path.join(self.dir, "small"), "4m")
        with open(os.path.join(dst, "kept.bin"), "wb") as f:
            f.write(b"k" * 300 * 1024)
        big = os.urandom(3840 * 1024)  # 3.75 MiB, with 3.7 free
        for name in (b"new.bin", b"kept.bin"):  # more than is free: the body is drained, then refused
            reply = self.send(port, name + b"\r" + dst.encode() + b"\r3932160\r", big).decode()
            self.assertRegex(reply, r"/small/(new|kept)\.bin: not stored: no room on the receiving disk for 3\.8 MiB "
                                    r"\(3\.7 MiB free, 0 B kept free\)$")
        # More than the disk holds at all: answered at once, the body never waited for.
        with connect(port) as s:
            s.sendall(b"huge.bin\r" + dst.encode() + b"\r9223372036854775807\r")
            self.assertEqual(read_until_cr(s, timeout=2), dst.encode() + b"/huge.bin: not stored: 8.0 EiB will never "
                             b"fit on the receiving disk (4.0 MiB in all, 0 B kept free)")
        # Two bodies that each fit, together not: the second header finds the room taken by the
        # first, and neither writes into a full disk.
        a, b = connect(port), connect(port)
        with a, b:
            body = os.urandom(2 * MiB)
            a.sendall(b"one.bin\r" + dst.encode() + b"\r2097152\r")
            rx.expect("one.bin (2097152)")
            b.sendall(b"two.bin\r" + dst.encode() + b"\r2097152\r" + body)
            self.assertRegex(read_until_cr(b).decode(), r"two\.bin: not stored: no room on the receiving disk for 2\.0 MiB")
            a.sendall(body)
            self.assertEqual(read_until_cr(a), b"OK")
        self.assertEqual(sorted(os.listdir(dst)), ["kept.bin", "one.bin"])  # no work file left
        with open(os.path.join(dst, "kept.bin"), "rb") as f:
            self.assertEqual(f.read(), b"k" * 300 * 1024)
        # What --min-free keeps is not given away.
        port2 = fresh_port()
        self.start_receiver(str(port2), "--min-free", "1M")
        free = os.statvfs(dst).f_bavail * os.statvfs(dst).f_frsize
        size = str(free - 512 * 1024).encode()
        reply = self.send(port2, b"x.bin\r" + dst.encode() + b"\r" + size + b"\r", b"x" * int(size)).decode()
        self.assertRegex(reply, r"x\.bin: not stored: no room on the receiving disk for .* free, 1\.0 MiB kept free\)$")

    def test_a_small_var_tmp_does_not_limit_what_is_received(self):
        self.tmpfs("/var/tmp")
        port = fresh_port()
        self.start_receiver(str(port))
        data = os.urandom(3 * MiB)
        src = self.write("src/big.bin", data)
        status, out, _ = run_pitchr([src, RX_ADDR, str(port)])
        self.assertEqual(status, 0, out)
        with open(os.path.join(self.dir, "big.bin"), "rb") as f:
            self.assertEqual(f.read(), data)
        self.assertEqual(os.listdir("/var/tmp"), [])

    def test_directory_at_the_final_name_is_refused_untouched(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        os.mkdir(os.path.join(self.dir, "x"))
        reply = self.send(port, b"x\r\r3\r", b"abc").decode()
        self.assertEqual(reply, "x: not stored: a directory of that name is in the way")
        self.assertEqual(os.listdir(os.path.join(self.dir, "x")), [])
        rx.expect(reply)


class ManyPeers(E2ETest):
    def test_idle_peers_and_a_slow_body_hold_up_no_sender(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        src = self.write("small.txt", b"small")
        # From 25 addresses, under the share of one address.
        idle = [connect(port, source=f"127.0.2.{i % 25 + 1}") for i in range(100)]
        slow = connect(port)
        trickle = connect(port)
        try:
            slow.sendall(b"slow.bin\r\r1000000\r" + b"s" * 1000)  # and the rest later
            trickle.sendall(b"tr")  # a header that comes a byte at a time
            start = time.monotonic()
            status, out, _ = run_pitchr([src, RX_ADDR, str(port)])
            self.assertEqual(status, 0, out)
            self.assertLess(time.monotonic() - start, 10)  # far from the 20 s reply wait
            trickle.sendall(b"i")
            slow.sendall(b"s" * 999000)
            self.assertEqual(read_until_cr(slow), b"OK")
        finally:
            for s in idle + [slow, trickle]:
                s.close()
        self.assertEqual(os.path.getsize(os.path.join(self.dir, "slow.bin")), 1000000)
        # Past the cap of open connections, the ones idle the longest made room.
        self.assertRegex(rx.expect("all connections were taken"),
                         r"ERROR: dropped for a new connection: all connections were taken \(from 127\.[\d.]+:\d+\)\n")


class StartUp(E2ETest):
    def test_busy_port_is_reported_and_ends_the_receiver(self):
        port = fresh_port()
        with socket.socket() as taken:
            taken.bind((RX_ADDR, port))
            taken.listen()
            rx = self.start_receiver(str(port), ready=False)
            self.assertEqual(rx.wait(), 3)
        # No "Listen at" line that would look like success, only the failure and what to do.
        self.assertEqual(rx.text(), f"ERROR: Cannot listen at {RX_ADDR}:{port}: port {port} is in use: is another "
                                    f"catchr running? try -p\n")

    def test_waits_for_an_address_and_listens_when_it_comes(self):
        # The host name resolves to nothing. /etc/hosts is the namespace's own copy (see
        # netns.sh), so it is rewritten in place and put back afterwards.
        self.assertEqual(socket.gethostname(), "rxhost", "run through netns.sh")
        with open("/etc/hosts") as f:
            saved = f.read()

        def put_back():
            with open("/etc/hosts", "w") as f:
                f.write(saved)
        self.addCleanup(put_back)
        with open("/etc/hosts", "w") as f:
            f.write("127.0.0.1 localhost\n")
        port = fresh_port()
        rx = self.start_receiver(str(port), ready=False)
        rx.expect("waiting for one\n")
        sh("ip", "addr", "add", "127.0.3.1/32", "dev", "lo")
        self.addCleanup(sh, "ip", "addr", "del", "127.0.3.1/32", "dev", "lo")
        rx.expect(f"Listen at 127.0.3.1:{port}\n")
        wait_listening(port)
        with socket.create_connection(("127.0.3.1", port), timeout=5) as s:
            s.sendall(b"late.txt\r\r2\rhi")
            self.assertEqual(read_until_cr(s), b"OK")
        self.assertNotIn("Listen at 127.0.0.1", rx.text())

    def test_every_interface_is_listened_on(self):
        # Three veth pairs inside this test's own namespace: six interfaces, all local.
        for i in range(3):
            sh("ip", "link", "add", f"e2e{i}a", "type", "veth", "peer", "name", f"e2e{i}b")
            self.addCleanup(sh, "ip", "link", "del", f"e2e{i}a")
            for end, host in (("a", 1), ("b", 2)):
                sh("ip", "addr", "add", f"10.9.{i}.{host}/24", "dev", f"e2e{i}{end}")
                sh("ip", "link", "set", f"e2e{i}{end}", "up")
        port = fresh_port()
        rx = self.start_receiver(str(port))
        for i in range(3):
            for host in (1, 2):
                rx.expect(f"Listen at 10.9.{i}.{host}:{port}\n")
        with socket.create_connection(("10.9.2.2", port), timeout=5) as s:
            s.sendall(b"far.txt\r\r2\rhi")
            self.assertEqual(read_until_cr(s), b"OK")


class Leftovers(E2ETest):
    def test_work_file_is_private_and_gone_when_the_transfer_breaks(self):
        old_mask = os.umask(0o027)
        self.addCleanup(os.umask, old_mask)
        port = fresh_port()
        rx = self.start_receiver(str(port))
        with connect(port) as s:
            s.sendall(b"part.bin\r\r100\r" + b"x" * 10)
            rx.expect("part.bin (100)")
            deadline = time.monotonic() + 5
            while not rx_work_files(self.dir) and time.monotonic() < deadline:
                time.sleep(0.01)
            (work,) = rx_work_files(self.dir)  # beside the final name, hidden
            self.assertEqual(os.path.dirname(work), self.dir)
            self.assertEqual(os.stat(work).st_mode & 0o777, 0o600)
        rx.expect("ERROR: part.bin: the sender went away after 10 B of 100 B; nothing stored")
        self.assertFalse(os.path.exists(work))
        # A stored file gets the mode of any new file of the receiver's user.
        self.assertEqual(self.send(port, b"done.txt\r\r2\r", b"ok"), b"OK")
        self.assertEqual(os.stat(os.path.join(self.dir, "done.txt")).st_mode & 0o777, 0o640)
        self.assertEqual(self.send(port, b"run.sh\r\r2\r", b"ok"), b"OK")
        self.assertEqual(os.stat(os.path.join(self.dir, "run.sh")).st_mode & 0o777, 0o751)


class Idle(E2ETest):
    def test_idle_receiver_sleeps(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        time.sleep(0.2)

        def switches():
            with open(f"/proc/{rx.pid}/status") as f:
                return int(re.search(r"voluntary_ctxt_switches:\s+(\d+)", f.read()).group(1))

        first = switches()
        time.sleep(2)
        self.assertLessEqual(switches() - first, 1)  # it used to wake 100 times a second
        rx.press_key()
        self.assertEqual(rx.wait(), 1)


if __name__ == "__main__":
    unittest.main()
