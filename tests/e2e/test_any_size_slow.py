"""Files beyond 4 GiB end to end, and the memory both programs need for them."""
import hashlib
import os
import subprocess
import time
import unittest

from harness import PITCHR, RX_ADDR, E2ETest, fresh_port

MiB = 1024 * 1024
SIZE = 4 * 1024 * MiB + MiB + 3


def peak_kib(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return int(next(line for line in f if line.startswith("VmHWM:")).split()[1])
    except (OSError, StopIteration):
        return 0


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        while chunk := f.read(8 * MiB):
            h.update(chunk)
    return h.hexdigest()


class AnySize(E2ETest):
    def test_a_file_over_4_gib_arrives_identical_in_flat_memory(self):
        src = os.path.join(self.dir, "disk.img")
        with open(src, "wb") as f:
            f.truncate(SIZE)  # sparse, with data at its start, around 2 and 4 GiB, and its end
            for at in (0, 2 ** 31 - 5, 2 ** 32 - 5, SIZE - 100):
                f.seek(at)
                f.write(os.urandom(100))
        dst = os.path.join(self.dir, "dst")
        os.mkdir(dst)
        port = fresh_port()
        rx = self.start_receiver(str(port), cwd=dst)
        proc = subprocess.Popen([PITCHR, src, RX_ADDR, str(port)], stdout=subprocess.DEVNULL,
                                stdin=subprocess.DEVNULL)
        # The peak as the kernel keeps it, read while pitchr runs (its rusage would count the
        # forked test process from before the exec).
        tx_peak_kib = 0
        while proc.poll() is None:
            tx_peak_kib = max(tx_peak_kib, peak_kib(proc.pid))
            time.sleep(0.2)
        self.assertEqual(proc.returncode, 0)
        rx.expect(f"-> disk.img ({SIZE})\n")
        self.assertLess(tx_peak_kib, 16 * 1024, "pitchr's peak memory in KiB")
        self.assertLess(peak_kib(rx.pid), 16 * 1024, "catchr's peak memory in KiB")
        got = os.path.join(dst, "disk.img")
        self.assertEqual(os.path.getsize(got), SIZE)
        self.assertEqual(digest(got), digest(src))
        os.unlink(got)


if __name__ == "__main__":
    unittest.main()
