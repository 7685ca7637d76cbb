"""Batches end to end: many files on one connection without waiting, several connections at
once, only what changed, and the tree as it was, empty directories and their times included."""
import os
import stat
import subprocess
import threading
import time

from harness import PITCHR, RX_ADDR, E2ETest, fresh_port, run_pitchr, wait_listening
from peers import Proxy, StandIn


class Batch(E2ETest):
    def setUp(self):
        super().setUp()
        self.src = os.path.join(self.dir, "src")
        self.dst = os.path.join(self.dir, "dst")
        os.makedirs(self.dst)
        self.port = fresh_port()

    def receiver(self, *args):
        return self.start_receiver(str(self.port), *args, cwd=self.dst)

    def pitchr(self, *args, port=None):
        return run_pitchr([*args, RX_ADDR, str(port or self.port)], timeout=120)

    def files(self, count, size=1024, sub="many"):
        for i in range(count):
            self.write(os.path.join("src", sub, f"f{i:04d}.dat"), bytes([i % 251]) * size)
        return os.path.join(self.src, sub)

    def stored(self, *parts):
        with open(os.path.join(self.dst, *parts), "rb") as f:
            return f.read()


class OneConnection(Batch):
    def test_a_failure_in_the_middle_is_named_and_the_rest_arrive(self):
        where = self.files(200)
        os.makedirs(os.path.join(self.dst, "many", "f0100.dat"))  # a directory in the way
        self.write(os.path.join("dst", "many", "f0150.dat"), b"mine")
        self.receiver("--no-clobber")
        proxy = Proxy(self.port)
        status, out, err = self.pitchr("-k", "-j", "1", "-r", where, port=proxy.port)
        proxy.close()
        self.assertEqual(status, 1, out + err)
        errors = [line for line in (out + err).splitlines() if line.startswith("ERROR")]
        self.assertEqual(len(errors), 2, out + err)
        self.assertIn("many/f0100.dat", errors[0])
        self.assertIn("many/f0150.dat", errors[1])
        self.assertEqual(proxy.connections, 1)
        for i in range(200):
            if i not in (100, 150):
                self.assertEqual(self.stored("many", f"f{i:04d}.dat"), bytes([i % 251]) * 1024)
        self.assertEqual(self.stored("many", "f0150.dat"), b"mine")

    def test_without_k_it_stops_after_the_failure(self):
        # What was in flight when the refusal came is answered and counted; nothing more goes.
        where = self.files(300)
        self.write(os.path.join("dst", "many", "f0010.dat"), b"mine")
        self.receiver("--no-clobber")
        status, out, err = self.pitchr("-j", "1", "-r", where)
        self.assertEqual(status, 1, out + err)
        self.assertIn("many/f0010.dat", out + err)
        summary = out.splitlines()[-1]
        self.assertRegex(summary, r"; failed: 1; not tried: \d+$")
        arrived = int(summary.split()[1])
        self.assertEqual(arrived + 1 + int(summary.split()[-1]), 300)
        self.assertEqual(len(os.listdir(os.path.join(self.dst, "many"))), arrived + 1)

    def test_a_slow_receiver_holds_the_sender_back_with_little_memory(self):
        where = self.files(3000, size=700)
        rx = self.start_receiver(str(self.port), "-q", cwd=self.dst, ready=False)  # nobody reads its log
        wait_listening(self.port)
        slow = Proxy(self.port, pace=(64 * 1024, 0.02))  # about 3 MiB/s
        proc = subprocess.Popen([PITCHR, "-j", "1", "-r", where, RX_ADDR, str(slow.port)], stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
        peak = [0]

        def watch():
            while proc.poll() is None:
                try:
                    with open(f"/proc/{proc.pid}/status") as f:
                        for line in f:
                            if line.startswith("VmRSS:"):
                                peak[0] = max(peak[0], int(line.split()[1]))
                except OSError:
                    return
                time.sleep(0.05)

        watcher = threading.Thread(target=watch)
        watcher.start()
        out = proc.communicate(timeout=120)[0].decode("latin-1")
        watcher.join()
        slow.close()
        self.assertEqual(proc.returncode, 0, out)
        self.assertLess(peak[0], 32 * 1024, "pitchr's resident memory in KiB")
        with open(f"/proc/{rx.pid}/status") as f:
            rx_peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
        self.assertLess(rx_peak, 32 * 1024, "catchr's peak resident memory in KiB")
        self.assertEqual(len(os.listdir(os.path.join(self.dst, "many"))), 3000)


class SeveralConnections(Batch):
    def test_replies_are_matched_to_their_files_under_j(self):
        where = self.files(120, size=5000)
        for i in (3, 77, 119):
            self.write(os.path.join("dst", "many", f"f{i:04d}.dat"), b"mine")
        self.write(os.path.join("src", "many", "big.bin"), os.urandom(3 << 20))
        self.receiver("--no-clobber")
        proxy = Proxy(self.port)
        status, out, err = self.pitchr("-k", "-j", "4", "-r", where, port=proxy.port)
        proxy.close()
        self.assertEqual(status, 1, out + err)
        self.assertEqual(proxy.connections, 4)
        failed = sorted(line.split(":")[0].strip() for line in out.split("Not sent")[1].splitlines()[1:]
                        if line.startswith("  "))
        self.assertEqual(failed, ["many/f0003.dat", "many/f0077.dat", "many/f0119.dat"], out)
        self.assertEqual(len(os.listdir(os.path.join(self.dst, "many"))), 121)

    def test_an_older_receiver_gets_one_connection_unless_j_is_given(self):
        where = self.files(12)
        for jobs in (None, 3):
            with self.subTest(jobs=jobs):
                rx = StandIn(answers=True, delay=0.05)
                args = ["-j", str(jobs)] if jobs else []
                status, out, err = self.pitchr(*args, "-r", where, port=rx.port)
                rx.close()
                self.assertEqual(status, 0, out + err)
                hellos = [h for h in rx.headers if h[2].startswith(b"CATCHR-EXT")]
                self.assertEqual(len(hellos), 1)  # asked once a run
                self.assertEqual(len(rx.bodies), 12)
                self.assertIn(rx.most_at_once, (1,) if jobs is None else (2, 3), out)


class OnlyWhatChanged(Batch):
    def test_update_sends_what_differs_in_size_or_time(self):
        where = self.files(6)
        self.receiver()
        status, out, err = self.pitchr("-r", where)
        self.assertEqual(status, 0, out + err)
        paths = [os.path.join(where, f"f{i:04d}.dat") for i in range(6)]
        with open(paths[1], "ab") as f:
            f.write(b"more")  # another size
        st = os.stat(paths[2])
        os.utime(paths[2], ns=(st.st_atime_ns, st.st_mtime_ns + 1))  # the time only
        status, out, err = self.pitchr("-n", "-u", "-r", where)
        self.assertEqual(status, 0, out + err)
        listed = [line for line in out.splitlines() if " -> " in line]
        self.assertEqual(len(listed), 2, out)
        self.assertIn("unchanged: 4", out)
        os.remove(os.path.join(self.dst, "many", "f0003.dat"))
        status, out, err = self.pitchr("-u", "-r", where)
        self.assertEqual(status, 0, out + err)
        self.assertIn("Arrived: 3 files", out)
        self.assertIn("unchanged: 3", out)
        self.assertEqual(self.stored("many", "f0001.dat"), bytes([1]) * 1024 + b"more")
        self.assertEqual(os.stat(os.path.join(self.dst, "many", "f0002.dat")).st_mtime_ns, st.st_mtime_ns + 1)

    def test_dry_run_without_update_needs_no_receiver(self):
        where = self.files(3)
        status, out, err = self.pitchr("-n", "-r", where, port=fresh_port())
        self.assertEqual(status, 0, out + err)
        self.assertEqual(len([line for line in out.splitlines() if " -> " in line]), 3)
        self.assertEqual(os.listdir(self.dst), [])


class TheTreeAsItWas(Batch):
    def test_empty_directories_and_directory_times_arrive(self):
        tree = os.path.join(self.src, "photos")
        for d in ("2023/empty", "2024/june", "2024/july/empty too"):
            os.makedirs(os.path.join(tree, d))
        self.write(os.path.join("src", "photos", "2024", "june", "a.jpg"), b"jpeg")
        times = {}
        for sub in ("", "2023", "2023/empty", "2024", "2024/june", "2024/july", "2024/july/empty too"):
            path = os.path.join(tree, sub)
            ns = 1_500_000_000_000_000_000 + len(times) * 1_000_000_007
            os.utime(path, ns=(ns, ns))
            times[sub] = ns
        os.chmod(os.path.join(tree, "2023", "empty"), 0o750)
        self.receiver()
        status, out, err = self.pitchr("-r", tree, "TO:in")
        self.assertEqual(status, 0, out + err)
        for sub, ns in times.items():
            got = os.stat(os.path.join(self.dst, "in", "photos", sub))
            self.assertEqual(got.st_mtime_ns, ns, sub)
        self.assertEqual(stat.S_IMODE(os.stat(os.path.join(self.dst, "in", "photos", "2023", "empty")).st_mode), 0o750)
        self.assertEqual(self.stored("in", "photos", "2024", "june", "a.jpg"), b"jpeg")

    def test_a_classic_receiver_gets_files_only(self):
        tree = os.path.join(self.src, "t")
        os.makedirs(os.path.join(tree, "empty"))
        self.write(os.path.join("src", "t", "a.txt"), b"a")
        rx = StandIn(answers=True)
        status, out, err = self.pitchr("-r", tree, port=rx.port)
        rx.close()
        self.assertEqual(status, 0, out + err)
        self.assertEqual([name for name, _ in rx.bodies], [b"a.txt"])
