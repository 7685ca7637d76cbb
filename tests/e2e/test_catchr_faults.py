"""catchr under faults: full disks, a directory in the way, idle and slow peers, a busy
port, a host without addresses yet, and what it leaves in /var/tmp."""
import os
import re
import socket
import subprocess
import time
import unittest

from harness import (CATCHR, E2ETest, RX_ADDR, connect, fresh_port, read_until_cr,
                     run_pitchr, wait_listening, work_files)

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

    def test_full_destination_keeps_every_final_name_as_it_was(self):
        port = fresh_port()
        self.start_receiver(str(port))
        dst = self.tmpfs(os.path.join(self.dir, "small"))
        with open(os.path.join(dst, "kept.bin"), "wb") as f:
            f.write(b"k" * 300 * 1024)
        big = os.urandom(3 * MiB)
        for name in (b"new.bin", b"kept.bin"):
            reply = self.send(port, name + b"\r" + dst.encode() + b"\r3145728\r", big).decode()
            self.assertRegex(reply, r"^Write error on .*\[FILE_MV\]$")
        self.assertEqual(os.listdir(dst), ["kept.bin"])  # no part file, no temporary file
        with open(os.path.join(dst, "kept.bin"), "rb") as f:
            self.assertEqual(f.read(), b"k" * 300 * 1024)
        # The space is free again: a file that fits arrives whole.
        self.assertEqual(self.send(port, b"fits.txt\r" + dst.encode() + b"\r5\r", b"fits!"), b"OK")
        with open(os.path.join(dst, "fits.txt"), "rb") as f:
            self.assertEqual(f.read(), b"fits!")

    def test_full_work_disk_drains_the_body_and_replies_the_cause(self):
        self.tmpfs("/var/tmp")
        port = fresh_port()
        rx = self.start_receiver(str(port))
        # Larger than the room there: refused at once, then the body is drained.
        src = self.write("big.bin", os.urandom(3 * MiB))
        status, out, _ = run_pitchr([src, RX_ADDR, str(port)])
        self.assertEqual(status, 1)
        self.assertRegex(out, r"ERROR: No room for 3145728 bytes in /var/tmp \(\d+ bytes free\)\a\n")
        # Two bodies that each fit, together not: the second to write finds the disk full,
        # written plainly (700 KiB) and through a pipe (1.5 MiB), in a 1 and a 2 MiB tmpfs.
        for size, tmpfs in ((700 * 1024, "1m"), (1536 * 1024, "2m")):
            sh("mount", "-o", f"remount,size={tmpfs}", "/var/tmp")
            a, b = connect(port), connect(port)
            with a, b:
                half = os.urandom(size)
                for s in (a, b):  # both headers find room for their body...
                    s.sendall(b"half\r\r" + str(size).encode() + b"\r")
                time.sleep(0.3)
                for s in (a, b):
                    s.sendall(half[:size * 6 // 7])
                time.sleep(0.3)  # ...and both have written most of it: the rest cannot fit
                for s in (a, b):
                    s.sendall(half[size * 6 // 7:])
                replies = sorted([read_until_cr(a).decode(), read_until_cr(b).decode()])
            self.assertEqual(replies[0], "OK")
            self.assertRegex(replies[1], r'^Write error on "/var/tmp/catchr\w+\.tmp" \(cnt=\d+ cnt1=\d+\) '
                                         r'\(err #28:No space left on device\) \[BF_FD\]$')
            with open(os.path.join(self.dir, "half"), "rb") as f:
                self.assertEqual(f.read(), half)
            self.assertEqual(os.listdir("/var/tmp"), [])
        rx.expect("No space left on device")
        self.assertEqual(sorted(os.listdir(self.dir)), ["big.bin", "half"])

    def test_directory_at_the_final_name_is_refused_untouched(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        os.mkdir(os.path.join(self.dir, "x"))
        reply = self.send(port, b"x\r\r3\r", b"abc").decode()
        self.assertRegex(reply, r'^"x" is a dir \(/var/tmp/catchr\w+\.tmp -> x\) \[FILE_MV\]$')
        self.assertEqual(os.listdir(os.path.join(self.dir, "x")), [])
        rx.expect(reply)


class ManyPeers(E2ETest):
    def test_idle_peers_and_a_slow_body_hold_up_no_sender(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        src = self.write("small.txt", b"small")
        idle = [connect(port) for _ in range(100)]
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
        self.assertRegex(rx.expect("too many open"),
                         r"ERROR: Dropped for a new connection: too many open \(from 127\.[\d.]+:\d+\)\n")


class StartUp(E2ETest):
    def test_busy_port_is_reported_and_ends_the_receiver(self):
        port = fresh_port()
        with socket.socket() as taken:
            taken.bind((RX_ADDR, port))
            taken.listen()
            rx = self.start_receiver(str(port), ready=False)
            self.assertEqual(rx.wait(), 3)
        self.assertRegex(rx.text(), rf"Listen at {RX_ADDR}:{port}\nERROR: HOST_SAI_SD:bind \(err #98:[^)]*\) "
                                    rf"\({RX_ADDR}:{port}\)\n")

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
        before = work_files("catchr")
        with connect(port) as s:
            s.sendall(b"part.bin\r\r100\r" + b"x" * 10)
            rx.expect("part.bin (100)")
            deadline = time.monotonic() + 5
            while not work_files("catchr") - before and time.monotonic() < deadline:
                time.sleep(0.01)
            (work,) = work_files("catchr") - before
            self.assertEqual(os.stat(work).st_mode & 0o777, 0o600)
        rx.expect("ERROR: SCK_RECV")
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
