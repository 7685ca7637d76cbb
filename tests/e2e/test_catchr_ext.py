"""catchr under the extension, driven by a raw client: a part that a killed receiver left is
resumed by the next one, and old parts are swept when it starts."""
import ctypes
import os
import signal
import time

from harness import E2ETest, connect, fresh_port, read_until_cr

MiB = 1024 * 1024
HELLO = b"\r\rCATCHR-EXT 1 verify resume times\r"


class _Hash128(ctypes.Structure):
    _fields_ = [("low", ctypes.c_uint64), ("high", ctypes.c_uint64)]


_xxh = ctypes.CDLL("libxxhash.so.0")
_xxh.XXH3_128bits.restype = _Hash128
_xxh.XXH3_128bits.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
_xxh.XXH3_64bits.restype = ctypes.c_uint64
_xxh.XXH3_64bits.argtypes = [ctypes.c_char_p, ctypes.c_size_t]


def digest(data):
    h = _xxh.XXH3_128bits(data, len(data))
    return b"%016x%016x" % (h.high, h.low)


def part_name(name, info=False):
    return ".catchr-%016x%s" % (_xxh.XXH3_64bits(name, len(name)), ".info.part" if info else ".part")


def request(name, size, mtime=b"1700000000.500000000", mode=b"640"):
    return name + b"\r\r" + str(size).encode() + b"\r" + b"mtime=" + mtime + b" mode=" + mode + b"\r"


class Resume(E2ETest):
    def session(self, port):
        s = connect(port)
        s.sendall(HELLO)
        self.assertEqual(read_until_cr(s), b"CATCHR-EXT 1 verify resume times")
        return s

    def test_a_part_left_by_a_killed_receiver_is_resumed(self):
        port = fresh_port()
        content = os.urandom(4 * MiB + 1000)
        rx = self.start_receiver(str(port), "--no-clobber")
        s = self.session(port)
        s.sendall(request(b"big.iso", len(content)))
        self.assertEqual(read_until_cr(s), b"GO 0")
        s.sendall(b"FROM 0\r" + content[:3 * MiB + 5])
        part = os.path.join(self.dir, part_name(b"big.iso"))
        deadline = time.monotonic() + 5
        while (not os.path.exists(part) or os.path.getsize(part) < 3 * MiB + 5) and time.monotonic() < deadline:
            time.sleep(0.02)
        os.kill(rx.pid, signal.SIGKILL)
        rx.wait()
        s.close()
        self.assertEqual(os.path.getsize(part), 3 * MiB + 5)

        rx = self.start_receiver(str(port), "--no-clobber")
        s = self.session(port)
        s.sendall(request(b"big.iso", len(content)))
        self.assertEqual(read_until_cr(s), b"GO %d" % (3 * MiB))
        s.sendall(b"FROM %d\r" % (3 * MiB) + content[3 * MiB:] +
                  b"SUM " + digest(content[:3 * MiB]) + b" " + digest(content) + b"\r")
        self.assertEqual(read_until_cr(s), b"OK")
        rx.expect("big.iso: resuming at 3.0 MiB (kept from an earlier send)")
        s.close()
        path = os.path.join(self.dir, "big.iso")
        with open(path, "rb") as f:
            self.assertTrue(f.read() == content)
        st = os.stat(path)
        self.assertEqual((st.st_mode & 0o777, st.st_mtime_ns), (0o640 & ~os.umask(os.umask(0)), 1700000000500000000))
        self.assertEqual([n for n in os.listdir(self.dir) if n.startswith(".catchr-")], [])

    def test_old_parts_are_swept_at_start(self):
        for name, days in ((b"old.iso", 4), (b"new.iso", 2)):
            part = os.path.join(self.dir, part_name(name))
            with open(part, "wb") as f:
                f.write(b"x" * 2048)
            with open(os.path.join(self.dir, part_name(name, info=True)), "wb") as f:
                f.write(b"catchr-part-1 5000000 1.000000000 " + name + b"\n")
            then = time.time() - days * 86400
            os.utime(part, (then, then))
        port = fresh_port()
        rx = self.start_receiver(str(port), "--keep-partial", "3")
        rx.expect("Removed a kept part of old.iso (2.0 KiB, last written ")
        self.assertIn("): older than 3 days", rx.text())
        self.assertNotIn("new.iso", rx.text())
        left = sorted(n for n in os.listdir(self.dir) if n.startswith(".catchr-"))
        self.assertEqual(left, sorted([part_name(b"new.iso"), part_name(b"new.iso", info=True)]))
        for n in left:
            os.unlink(os.path.join(self.dir, n))
