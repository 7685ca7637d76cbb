"""How catchr stores: whatever stands at the final name, local users racing it under
--confine, and a large store that must not hold up anyone else."""
import ctypes
import os
import socket
import stat
import subprocess
import threading
import time
import unittest

from harness import PITCHR, E2ETest, RX_ADDR, fresh_port, run_pitchr

MiB = 1024 * 1024
libc = ctypes.CDLL(None, use_errno=True)
AT_FDCWD = -100
RENAME_EXCHANGE = 2


def sh(*cmd):
    subprocess.run(cmd, check=True, capture_output=True)


class Racer(threading.Thread):
    """Repeats a step in the background until stopped (or for at most 60 s)."""

    def __init__(self, step):
        super().__init__(daemon=True)
        self.step, self.halt, self.rounds = step, threading.Event(), 0

    def run(self):
        deadline = time.monotonic() + 60
        while not self.halt.is_set() and time.monotonic() < deadline:
            self.step()
            self.rounds += 1

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.halt.set()
        self.join()


class FinalName(E2ETest):
    def tmpfs(self, path, size):
        os.makedirs(path, exist_ok=True)
        sh("mount", "-t", "tmpfs", "-o", f"size={size}", "tmpfs", path)
        self.addCleanup(sh, "umount", "-l", path)
        return path

    def plant(self, dst, kind, target):
        path = os.path.join(dst, "final")
        if kind == "link":
            os.symlink(target, path)
        elif kind == "fifo":
            os.mkfifo(path)
        elif kind == "device":
            os.mknod(path, 0o600 | stat.S_IFCHR, os.makedev(1, 3))
        elif kind == "socket":
            sock = socket.socket(socket.AF_UNIX)
            sock.bind(path)
            self.addCleanup(sock.close)
        return path

    def test_what_stands_at_the_final_name_is_replaced_whole_or_kept(self):
        port, keep_port = fresh_port(), fresh_port()
        self.start_receiver(str(port), "--min-free", "0")
        self.start_receiver(str(keep_port), "--no-clobber")
        target = self.write("outside/target", b"untouched")
        with open(os.path.join(self.dir, "s_exe.err"), "wb") as f:
            f.write(b"a user's own file")
        for kind in ("link", "fifo", "device", "socket"):
            dst = self.tmpfs(os.path.join(self.dir, kind), "1m")
            with open(os.path.join(dst, "filler"), "wb") as f:
                f.write(b"\0" * 512 * 1024)
            path = self.plant(dst, kind, target)
            before = os.lstat(path)
            header = b"final\r" + dst.encode() + b"\r"
            # No room: refused, and the thing at the final name is as it was.
            reply = self.send(port, header + b"786432\r", b"f" * 786432).decode()
            self.assertRegex(reply, r"final: not stored: no room on the receiving disk for 768 KiB", kind)
            # --no-clobber keeps it whatever it is.
            reply = self.send(keep_port, header + b"3\r", b"new").decode()
            self.assertEqual(reply, f"{dst}/final: not stored: it exists, and --no-clobber keeps it", kind)
            after = os.lstat(path)
            self.assertEqual((after.st_mode, after.st_ino, after.st_size),
                             (before.st_mode, before.st_ino, before.st_size), kind)
            # With room, a regular file takes its place; nothing is written into it.
            self.assertEqual(self.send(port, header + b"3\r", b"new"), b"OK", kind)
            self.assertTrue(stat.S_ISREG(os.lstat(path).st_mode), kind)
            with open(path, "rb") as f:
                self.assertEqual(f.read(), b"new")
            self.assertEqual(sorted(os.listdir(dst)), ["filler", "final"], kind)
        with open(target, "rb") as f:
            self.assertEqual(f.read(), b"untouched")
        with open(os.path.join(self.dir, "s_exe.err"), "rb") as f:
            self.assertEqual(f.read(), b"a user's own file")


class ConfinedRaces(E2ETest):
    """A local user who can write into the receiving directory races each store; nothing
    may land outside it or change anything outside it."""

    def setUp(self):
        super().setUp()
        self.inbox = os.path.join(self.dir, "inbox")
        self.outside = os.path.join(self.dir, "outside")
        os.makedirs(os.path.join(self.inbox, "d"))
        os.mkdir(self.outside)
        self.port = fresh_port()
        self.start_receiver("-d", self.inbox, "--confine", str(self.port), cwd=self.dir)

    def test_a_link_planted_at_the_final_name_is_replaced_not_followed(self):
        secret = self.write("outside/secret", b"private")
        os.chmod(secret, 0o600)
        final = os.path.join(self.inbox, "d", "f.sh")

        def plant():
            try:
                os.symlink(secret, final)
            except FileExistsError:
                pass
            try:
                os.unlink(final)
            except FileNotFoundError:
                pass

        with Racer(plant) as racer:
            for _ in range(300):
                reply = self.send(self.port, b"f.sh\rd\r4\r", b"body")
                self.assertEqual(reply, b"OK")
        self.assertGreater(racer.rounds, 0)
        st = os.stat(secret)
        self.assertEqual(st.st_mode & 0o777, 0o600)  # an execute bit given through a link would show
        with open(secret, "rb") as f:
            self.assertEqual(f.read(), b"private")

    def test_a_directory_swapped_for_a_link_in_a_loop_keeps_every_file_inside(self):
        os.symlink(self.outside, os.path.join(self.inbox, "l"))
        d, l = (os.path.join(self.inbox, n).encode() for n in ("d", "l"))

        def swap():
            libc.renameat2(AT_FDCWD, d, AT_FDCWD, l, RENAME_EXCHANGE)

        stored = []
        with Racer(swap) as racer:
            for i in range(400):
                name = f"f{i}".encode()
                reply = self.send(self.port, name + b"\rd\r1\r", b"x").decode()
                if reply == "OK":
                    stored.append(name.decode())
                else:
                    # Seen as a link, or as no directory when it was swapped back in between.
                    self.assertRegex(reply, r'^d/f\d+: not stored: (the destination "d" passes through a symbolic link '
                                            r'at "d" \(--confine\)|directory "d" cannot be made or opened '
                                            r'\(Not a directory\))$')
        self.assertGreater(racer.rounds, 0)
        self.assertEqual(os.listdir(self.outside), [])
        real = next(p for p in (d, l) if os.path.isdir(p) and not os.path.islink(p))
        self.assertEqual(sorted(os.listdir(real)), sorted(s.encode() for s in stored))
        self.assertGreater(len(stored), 0)


class LargeStore(E2ETest):
    def test_a_large_store_on_another_disk_holds_up_no_small_sender(self):
        dst = os.path.join(self.dir, "disk")
        os.mkdir(dst)
        sh("mount", "-t", "tmpfs", "-o", "size=600m", "tmpfs", dst)
        self.addCleanup(sh, "umount", "-l", dst)
        port = fresh_port()
        rx = self.start_receiver(str(port))
        small = self.write("small.txt", b"small")
        big = os.path.join(self.dir, "big.bin")
        with open(big, "wb") as f:
            f.truncate(512 * MiB)
        sender = subprocess.Popen([PITCHR, big, f"TO:{dst}", RX_ADDR, str(port)],
                                  stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        try:
            worst = 0.0
            while sender.poll() is None:
                start = time.monotonic()
                status, out, _ = run_pitchr([small, RX_ADDR, str(port)], timeout=30)
                self.assertEqual(status, 0, out)
                worst = max(worst, time.monotonic() - start)
            self.assertEqual(sender.wait(), 0)
            self.assertLess(worst, 5.0)  # generous: it once waited for the whole copy
        finally:
            sender.kill()
            sender.wait()
            sender.stdout.close()
        self.assertEqual(os.path.getsize(os.path.join(dst, "big.bin")), 512 * MiB)
        rx.expect("big.bin")


if __name__ == "__main__":
    unittest.main()
