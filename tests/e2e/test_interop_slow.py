"""This build beside the last release without the extension, built here from the project's
own history: each pairing of old and new moves files, and the hello leaves nothing behind."""
import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest

from harness import CATCHR, RX_ADDR, E2ETest, Receiver, fresh_port, run_pitchr, wait_listening

# The last commit whose programs speak only the classic protocol.
OLD_RELEASE = "3ccb3e5"
ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))


def build_old():
    """The old catchr and pitchr, or None where the history or the tools are missing."""
    if not shutil.which("git") or subprocess.run(["git", "-C", ROOT, "cat-file", "-e", OLD_RELEASE + "^{commit}"],
                                                 capture_output=True).returncode != 0:
        return None
    tree = tempfile.mkdtemp(prefix="oldrel")
    archive = subprocess.run(["git", "-C", ROOT, "archive", OLD_RELEASE], capture_output=True, check=True).stdout
    subprocess.run(["tar", "-x", "-C", tree], input=archive, check=True)
    build = os.path.join(tree, "build")
    subprocess.run(["cmake", "-S", tree, "-B", build, "-G", "Ninja", "-DLB_TESTS=OFF"], capture_output=True, check=True)
    subprocess.run(["cmake", "--build", build, "--target", "catchr", "pitchr"], capture_output=True, check=True)
    return tree


class OldAndNew(E2ETest):
    @classmethod
    def setUpClass(cls):
        cls.tree = build_old()
        if cls.tree is None:
            raise unittest.SkipTest("the old release is not in this clone's history")
        cls.old = {p: os.path.join(cls.tree, "build", "bin", p) for p in ("catchr", "pitchr")}

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tree, ignore_errors=True)

    def setUp(self):
        super().setUp()
        self.src = os.path.join(self.dir, "src")
        self.dst = os.path.join(self.dir, "dst")
        os.makedirs(self.dst)
        self.files = {"a.txt": b"alpha", "b.bin": os.urandom(3 << 20), "c d.dat": os.urandom(70000)}
        for name, data in self.files.items():
            self.write(os.path.join("src", name), data)

    def check_arrived(self):
        for name, data in self.files.items():
            with open(os.path.join(self.dst, name), "rb") as f:
                self.assertEqual(hashlib.sha256(f.read()).digest(), hashlib.sha256(data).digest(), name)
        self.assertEqual(sorted(os.listdir(self.dst)), sorted(self.files))

    def start(self, catchr):
        port = fresh_port()
        rx = Receiver([str(port)], cwd=self.dst, program=catchr)
        self.receivers.append(rx)
        rx.expect("Listen at")
        wait_listening(port)
        return rx, port

    def test_new_sender_to_old_receiver(self):
        rx, port = self.start(self.old["catchr"])
        status, out, err = run_pitchr([os.path.join(self.src, "*"), RX_ADDR, str(port)])
        self.assertEqual(status, 0, out + err)
        self.assertEqual([line for line in out.splitlines() if "classic" in line],
                         [f"{RX_ADDR}:{port} speaks only the classic protocol: files are neither verified nor resumed"])
        self.check_arrived()
        rx.expect("digits only")
        rx.kill()
        self.assertEqual(rx.text().count("ERROR"), 1, rx.text())  # the hello, once

    def test_old_sender_to_new_receiver(self):
        rx, port = self.start(CATCHR)
        proc = subprocess.run([self.old["pitchr"], os.path.join(self.src, "*"), RX_ADDR, str(port)],
                              capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.check_arrived()
        self.assertNotIn("ERROR", rx.text())


if __name__ == "__main__":
    unittest.main()
