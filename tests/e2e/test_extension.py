"""The negotiated extension end to end: older receivers get the classic protocol, every file
is checked, broken sends resume, times and modes arrive, refusals come before the body."""
import glob
import hashlib
import os
import random
import signal
import stat
import subprocess
import time

from harness import KEYLESS, PITCHR, RX_ADDR, E2ETest, fresh_port, run_pitchr
from peers import Proxy, StandIn

MIB = 1 << 20
BLOCK = 64 * 1024  # a kept part is resumed from a multiple of this


def sha(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def kept_parts(top):
    return sorted(glob.glob(os.path.join(glob.escape(top), "**", ".catchr-*.part"), recursive=True))


class Extension(E2ETest):
    def setUp(self):
        super().setUp()
        self.src = os.path.join(self.dir, "src")
        self.dst = os.path.join(self.dir, "dst")
        os.makedirs(self.src)
        os.makedirs(self.dst)
        self.port = fresh_port()

    def receiver(self, *args):
        self.rx = self.start_receiver(str(self.port), *args, cwd=self.dst)
        return self.rx

    def source(self, name, size, seed=1):
        data = random.Random(seed).randbytes(size)
        return self.write(os.path.join("src", name), data)

    def pitchr(self, *args, port=None, timeout=60):
        # Without a key: the relays below cut and flip the plain protocol's bytes.
        return run_pitchr([*args, RX_ADDR, str(port or self.port)], timeout=timeout, env=KEYLESS)

    def forget_kept(self):
        """A test that leaves kept parts on purpose removes them before the scratch check."""
        for part in kept_parts(self.dir):
            os.remove(part)


class OlderReceivers(Extension):
    def test_classic_only_receivers_get_the_classic_protocol_and_one_line(self):
        files = {"a.txt": b"alpha", "b.bin": os.urandom(100000)}
        for name, data in files.items():
            self.write(os.path.join("src", name), data)
        for answers in (True, False):
            with self.subTest(answers=answers):
                rx = StandIn(answers)
                status, out, err = self.pitchr(os.path.join(self.src, "*"), port=rx.port)
                rx.close()
                self.assertEqual(status, 0, out + err)
                said = [line for line in out.splitlines() if "classic" in line]
                self.assertEqual(len(said), 1, out)
                # One hello, then each file as the classic protocol frames it.
                self.assertEqual(len(rx.headers), 1 + len(files))
                self.assertTrue(rx.headers[0][2].startswith(b"CATCHR-EXT "))
                self.assertEqual(rx.headers[0][:2], (b"", b""))
                self.assertEqual(sorted(rx.bodies), sorted((n.encode(), d) for n, d in files.items()))
                self.assertEqual(sorted(h[2] for h in rx.headers[1:]), [b"100000", b"5"])

    def test_new_receiver_leaves_nothing_for_an_old_style_probe(self):
        self.receiver()
        reply = self.send(self.port, b"\r\rCATCHR-EXT 1 verify resume times\r", reply=True)
        self.assertEqual(reply, b"CATCHR-EXT 1 verify resume times")
        self.assertEqual(os.listdir(self.dst), [])


class Verified(Extension):
    def test_a_flipped_byte_is_never_placed_and_is_sent_again(self):
        path = self.source("pic.raw", 3 * MIB)
        self.receiver()
        for every, arrives in ((False, True), (True, False)):
            with self.subTest(every=every):
                proxy = Proxy(self.port, flip=(2 * MIB, every))
                status, out, err = self.pitchr(path, port=proxy.port)
                proxy.close()
                stored = os.path.join(self.dst, "pic.raw")
                self.assertIn("differ", out + err)
                if arrives:
                    self.assertEqual(status, 0, out + err)
                    self.assertEqual(sha(stored), sha(path))
                    os.remove(stored)
                else:
                    self.assertEqual(status, 1, out + err)
                    self.assertFalse(os.path.exists(stored))
                self.assertEqual(kept_parts(self.dst), [])


class Resumed(Extension):
    SIZE = 40 * MIB

    def break_at(self, path, offset, kill):
        """Sends through a relay that stops after offset bytes of the sender's stream: kill
        ends pitchr there, as a person with Ctrl-C would; else pitchr sees the link fail."""
        procs = []
        breaks = self.rx.text().count("went away")
        proxy = Proxy(self.port, cut=(offset, lambda: kill and procs[0].send_signal(signal.SIGKILL)))
        procs.append(subprocess.Popen([PITCHR, path, RX_ADDR, str(proxy.port)], stdout=subprocess.PIPE,
                                      stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                      env={**os.environ, **KEYLESS}))
        out = procs[0].communicate(timeout=60)[0].decode("latin-1")
        proxy.close()
        # The part is free for the next send once the receiver has seen the break.
        deadline = time.monotonic() + 10
        while self.rx.text().count("went away") == breaks:
            self.assertLess(time.monotonic(), deadline, self.rx.text())
            self.rx._read(0.05)
        return procs[0].returncode, out

    def resumed_at(self, out):
        for line in out.splitlines():
            if "resumed at" in line:
                return line
        return None

    def test_killed_at_random_offsets_every_rerun_places_the_exact_file(self):
        seed = int(os.environ.get("E2E_SEED", time.time_ns() % 100000))
        rng = random.Random(seed)
        rx = self.receiver()
        for round_ in range(4):
            path = self.source(f"f{round_}.img", self.SIZE, seed=seed + round_)
            offset = rng.randrange(2 * MIB, self.SIZE - MIB)
            with self.subTest(seed=seed, offset=offset):
                status, _ = self.break_at(path, offset, kill=True)
                self.assertEqual(status, -signal.SIGKILL)
                self.assertEqual(len(kept_parts(self.dst)), 2)  # the part and what it belongs to
                status, out, err = self.pitchr(path)
                self.assertEqual(status, 0, out + err)
                self.assertEqual(sha(os.path.join(self.dst, f"f{round_}.img")), sha(path))
                self.assertIsNotNone(self.resumed_at(out), out)
                line = rx.expect(f"f{round_}.img: resuming at")
                self.assertEqual(kept_parts(self.dst), [])
                del line

    def test_a_broken_link_is_retried_and_resumed_by_pitchr_itself(self):
        path = self.source("movie.mkv", self.SIZE)
        self.receiver()
        status, out = self.break_at(path, self.SIZE // 2, kill=False)
        self.assertEqual(status, 0, out)
        self.assertIn("trying again", out)
        self.assertIsNotNone(self.resumed_at(out), out)
        self.assertIn("resumed: 1", out)
        self.assertEqual(sha(os.path.join(self.dst, "movie.mkv")), sha(path))

    def test_a_changed_source_starts_over(self):
        path = self.source("doc.pdf", 8 * MIB)
        self.receiver()
        st = os.stat(path)
        for change in ("time", "bytes"):
            with self.subTest(change=change):
                self.break_at(path, 4 * MIB, kill=True)
                if change == "time":
                    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1))
                else:  # same size and time, other bytes: only the digest of the part tells
                    with open(path, "r+b") as f:
                        f.write(b"changed")
                    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns))
                status, out, err = self.pitchr(path)
                self.assertEqual(status, 0, out + err)
                self.assertEqual(sha(os.path.join(self.dst, "doc.pdf")), sha(path))
                self.assertEqual(kept_parts(self.dst), [])
                os.remove(os.path.join(self.dst, "doc.pdf"))

    def test_old_parts_are_removed_and_zero_days_keeps_none(self):
        path = self.source("old.iso", 4 * MIB)
        rx = self.receiver()
        self.break_at(path, 2 * MIB, kill=True)
        parts = kept_parts(self.dst)
        self.assertEqual(len(parts), 2)
        rx.kill()
        week_ago = time.time() - 8 * 86400
        for part in parts:
            os.utime(part, (week_ago, week_ago))
        rx = self.receiver()
        rx.expect("Removed a kept part of old.iso")
        self.assertEqual(kept_parts(self.dst), [])
        rx.kill()
        self.receiver("--keep-partial", "0")
        self.break_at(path, 2 * MIB, kill=True)
        self.assertEqual(kept_parts(self.dst), [])


class Attributes(Extension):
    def test_times_to_the_nanosecond_and_modes_less_the_umask(self):
        cases = {"a.sh": (0o750, 1_600_000_000_123_456_789), "b.txt": (0o640, -1_000_000_007),
                 "empty": (0o604, 1_700_000_000_000_000_001), "c.bin": (0o777, 1_234_567_890_000_000_000)}
        for name, (mode, mtime) in cases.items():
            path = self.write(os.path.join("src", name), b"" if name == "empty" else os.urandom(3000))
            os.chmod(path, mode)
            os.utime(path, ns=(mtime, mtime))
        old = os.umask(0o027)
        try:
            self.receiver()
        finally:
            os.umask(old)
        status, out, err = self.pitchr(os.path.join(self.src, "*"))
        self.assertEqual(status, 0, out + err)
        for name, (mode, mtime) in cases.items():
            st = os.stat(os.path.join(self.dst, name))
            self.assertEqual(st.st_mtime_ns, mtime, name)
            self.assertEqual(stat.S_IMODE(st.st_mode), mode & ~0o027, name)
        self.assertEqual(os.path.getsize(os.path.join(self.dst, "empty")), 0)

    def test_no_exec_bits_still_strips_them(self):
        path = self.write(os.path.join("src", "run.sh"), b"#!/bin/sh\n")
        os.chmod(path, 0o755)
        self.receiver("--no-exec-bits")
        status, out, err = self.pitchr(path)
        self.assertEqual(status, 0, out + err)
        self.assertEqual(os.stat(os.path.join(self.dst, "run.sh")).st_mode & 0o111, 0)


class RefusedBeforeBody(Extension):
    def test_no_clobber_refuses_at_the_header_and_the_next_file_follows(self):
        big = self.source("big.bin", 30 * MIB)
        small = self.write(os.path.join("src", "small.txt"), b"small")
        self.write(os.path.join("dst", "big.bin"), b"mine")
        self.receiver("--no-clobber")
        proxy = Proxy(self.port)
        status, out, err = self.pitchr("-k", big, small, port=proxy.port)
        proxy.close()
        self.assertEqual(status, 1, out + err)
        self.assertIn("--no-clobber keeps it", out + err)
        self.assertEqual(proxy.connections, 1)  # the hello's connection carried both
        self.assertLess(sum(proxy.sent), 64 * 1024)
        with open(os.path.join(self.dst, "big.bin"), "rb") as f:
            self.assertEqual(f.read(), b"mine")
        with open(os.path.join(self.dst, "small.txt"), "rb") as f:
            self.assertEqual(f.read(), b"small")
