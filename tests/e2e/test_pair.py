"""The pair end to end: pitchr sends to a real catchr and every file arrives unchanged."""
import hashlib
import os
import unittest

from harness import E2ETest, RX_ADDR, fresh_port, run_pitchr, work_files

SIZES = (0, 1, 32767, 32768, 32769, 100000, 5 * 1024 * 1024)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


class Pair(E2ETest):
    def setUp(self):
        super().setUp()
        self.src = os.path.join(self.dir, "src")
        self.dst = os.path.join(self.dir, "dst")
        os.mkdir(self.dst)
        self.files = {}
        for size in SIZES:
            self.files[f"r{size}.bin"] = os.urandom(size)
        self.files["zero first.dat"] = b"\0" + os.urandom(999)
        for name, data in self.files.items():
            self.write(os.path.join("src", name), data)
        self.port = fresh_port()
        self.rx = self.start_receiver(str(self.port), cwd=self.dst)

    def check_arrived(self, where):
        for name in self.files:
            self.assertEqual(digest(os.path.join(where, name)), digest(os.path.join(self.src, name)),
                             name)

    def test_files_arrive_identical_without_destination(self):
        before = work_files("pitchr")
        status, out, err = run_pitchr([os.path.join(self.src, "*"), RX_ADDR, str(self.port)])
        self.assertEqual(status, 0, out + err)
        self.assertEqual(len(out.splitlines()), len(self.files) + 1)  # and the summary
        self.check_arrived(self.dst)
        self.assertEqual(work_files("pitchr") - before, set())

    def test_files_arrive_identical_under_destination(self):
        inbox = os.path.join(self.dir, "in box")
        os.mkdir(inbox)
        status, out, err = run_pitchr([f"TO:{inbox}", RX_ADDR, os.path.join(self.src, "*"),
                                       str(self.port)])
        self.assertEqual(status, 0, out + err)
        self.check_arrived(inbox)
        self.assertEqual(os.listdir(self.dst), [])
        self.rx.expect(f" -> {inbox}/zero first.dat (1000)")

    def test_failure_replies_are_reported_and_stop_the_batch(self):
        # A line with ".." is used only as far as it exists: nothing is created along it.
        status, out, _ = run_pitchr([os.path.join(self.src, "r1*.bin"), "TO:missing/../gone", RX_ADDR,
                                     str(self.port)])
        self.assertEqual(status, 1)
        # Both small files go out together, before the first answer: each is reported.
        lines = out.splitlines()
        self.assertEqual(len(lines), 5, out)  # each file's line, each error and the summary
        for line, name in zip(lines[2:4], ("r1.bin", "r100000.bin")):
            self.assertRegex(line, r'ERROR: missing/\.\./gone/' + name.replace(".", r"\.") +
                             r': not stored: directory "missing" cannot be made or opened \(No such file or directory\)$')
        self.assertEqual(lines[4], "Arrived: 0 files, 0 B in " + lines[4].split(" in ")[1])
        self.assertTrue(lines[4].endswith("; failed: 2"), lines[4])
        self.assertFalse(os.path.exists(os.path.join(self.dst, "missing")))


if __name__ == "__main__":
    unittest.main()
