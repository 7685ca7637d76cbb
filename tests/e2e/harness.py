"""Runs catchr and pitchr as real processes for the end-to-end tests.

Every test module runs inside the private network of netns.sh: the receiver listens on
127.0.1.1 (the address "rxhost" resolves to) and nothing leaves the namespace.
"""
import glob
import os
import pty
import select
import signal
import socket
import subprocess
import tempfile
import time
import unittest

CATCHR = os.environ.get("CATCHR", "catchr")
PITCHR = os.environ.get("PITCHR", "pitchr")
RX_ADDR = "127.0.1.1"

_next_port = [int(os.environ.get("E2E_PORT_BASE", "19500"))]

# The programs' keys and pins live in a directory of this run's own, never in the home of
# whoever runs the tests; so both ends have keys and speak TLS unless a test says otherwise.
_config = tempfile.TemporaryDirectory(prefix="e2e-config")
os.environ["XDG_CONFIG_HOME"] = _config.name
# The environment of a program without a key: it offers no TLS, and its bytes on the wire
# are the plain protocol, which relays that count or change bytes rely on.
KEYLESS = {"XDG_CONFIG_HOME": "", "HOME": ""}


def fresh_port():
    """A port no earlier test of this run used."""
    _next_port[0] += 1
    return _next_port[0]


class Receiver:
    """catchr with a pseudo-terminal of its own as its keyboard, as if started in a console.
    Its output goes to that terminal with tty, else to a pipe, as when it is logged. Without
    keyboard its input is /dev/null, as for a service. (pitchr runs so too, with program.)"""

    def __init__(self, args=(), cwd=None, tty=False, env=None, program=None, keyboard=True):
        program = program or CATCHR
        self.name = os.path.basename(program)
        self.output = b""
        if not tty:
            out_r, out_w = os.pipe()
        pid, fd = pty.fork()
        if pid == 0:
            try:
                if cwd:
                    os.chdir(cwd)
                if not tty:
                    os.dup2(out_w, 1)
                    os.dup2(out_w, 2)
                if not keyboard:
                    os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
                os.execve(program, [program, *args], {**os.environ, **(env or {})})
            finally:
                os._exit(127)
        self.pid, self.fd = pid, fd
        self.out = fd
        if not tty:
            os.close(out_w)
            self.out = out_r
        self.status = None

    def _read(self, timeout):
        ready, _, _ = select.select([self.out], [], [], timeout)
        if not ready:
            return False
        try:
            data = os.read(self.out, 65536)
        except OSError:  # the terminal is gone: the program ended
            return None
        if not data:
            return None
        self.output += data
        return True

    def text(self):
        """What the program printed, with the terminal's CR LF turned back into LF."""
        return self.output.replace(b"\r\n", b"\n").decode("latin-1")

    def expect(self, needle, timeout=5.0):
        """Waits until needle shows in the output; fails the test after timeout seconds."""
        deadline = time.monotonic() + timeout
        while needle not in self.text():
            left = deadline - time.monotonic()
            if left <= 0 or self._read(left) is None:
                raise AssertionError(f"{needle!r} not printed; output so far:\n{self.text()}")
        return self.text()

    def press_key(self, key=b"q"):
        os.write(self.fd, key)

    def wait(self, timeout=5.0):
        """Collects the rest of the output and the exit status."""
        deadline = time.monotonic() + timeout
        while self.status is None:
            done, status = os.waitpid(self.pid, os.WNOHANG)
            if done:
                self.status = os.waitstatus_to_exitcode(status)
                break
            if time.monotonic() > deadline:
                self.kill()
                raise AssertionError(f"{self.name} did not end; output:\n{self.text()}")
            self._read(0.05)
        while self._read(0.05):
            pass
        return self.status

    def kill(self):
        """Stops the program as a service manager would: SIGTERM, then SIGKILL after 5 s."""
        if self.status is None:
            try:
                os.kill(self.pid, signal.SIGTERM)
                deadline = time.monotonic() + 5
                while self.status is None and time.monotonic() < deadline:
                    done, status = os.waitpid(self.pid, os.WNOHANG)
                    if done:
                        self.status = os.waitstatus_to_exitcode(status)
                    else:
                        time.sleep(0.01)
                if self.status is None:
                    os.kill(self.pid, signal.SIGKILL)
                    self.status = os.waitstatus_to_exitcode(os.waitpid(self.pid, 0)[1])
            except ChildProcessError:
                pass
        for fd in {self.fd, self.out}:
            try:
                os.close(fd)
            except OSError:
                pass


def run_pitchr(args, cwd=None, timeout=60, env=None):
    """Runs pitchr to its end; gives (exit status, standard output, standard error)."""
    proc = subprocess.run([PITCHR, *args], cwd=cwd, capture_output=True, timeout=timeout,
                          stdin=subprocess.DEVNULL, env={**os.environ, **(env or {})})
    return proc.returncode, proc.stdout.decode("latin-1"), proc.stderr.decode("latin-1")


def listening_ports():
    """Ports with a listening TCP socket in this network namespace."""
    ports = set()
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            if fields[3] == "0A":  # LISTEN
                ports.add(int(fields[1].split(":")[1], 16))
    return ports


def wait_listening(port, timeout=5.0):
    deadline = time.monotonic() + timeout
    while port not in listening_ports():
        if time.monotonic() > deadline:
            raise AssertionError(f"nothing listens on port {port}")
        time.sleep(0.01)


def connect(port, addr=RX_ADDR, timeout=5.0, source=None):
    """A raw client connection to the receiver, from source (a loopback address) if given."""
    return socket.create_connection((addr, port), timeout=timeout,
                                    source_address=(source, 0) if source else None)


def read_until_cr(sock, timeout=5.0):
    """One reply line (without its CR), or None when the peer closed first."""
    sock.settimeout(timeout)
    data = b""
    while True:
        try:
            chunk = sock.recv(1)
        except (ConnectionResetError, socket.timeout):
            return None
        if not chunk:
            return None
        if chunk == b"\r":
            return data
        data += chunk


def work_files(program):
    """The work files of a program's that are in /var/tmp now."""
    return set(glob.glob("/var/tmp/%s*.tmp" % program))


def rx_work_files(top):
    """The receiver's work files anywhere below top: each lives beside its final name."""
    return set(glob.glob(os.path.join(glob.escape(top), "**", ".catchr-*.part"), recursive=True))


class TwoHosts:
    """Two network namespaces made here, "rx" and "tx", joined by a veth pair: rx at
    10.9.NET.1, tx at 10.9.NET.2, each with lo up; nothing else is routed there. close()
    deletes both namespaces, and the pair with them."""

    _made = [0]

    def __init__(self, net=7):
        TwoHosts._made[0] += 1
        tag = f"{os.getpid()}x{TwoHosts._made[0]}"
        self.ns = {"rx": f"e2erx{tag}", "tx": f"e2etx{tag}"}
        self.addr = {"rx": f"10.9.{net}.1", "tx": f"10.9.{net}.2"}
        ends = {"rx": f"v{tag}r", "tx": f"v{tag}t"}
        try:
            for side in ("rx", "tx"):
                _sh("ip", "netns", "add", self.ns[side])
            _sh("ip", "link", "add", ends["rx"], "type", "veth", "peer", "name", ends["tx"])
            for side in ("rx", "tx"):
                ns = self.ns[side]
                _sh("ip", "link", "set", ends[side], "netns", ns)
                _sh("ip", "-n", ns, "addr", "add", self.addr[side] + "/24", "dev", ends[side])
                _sh("ip", "-n", ns, "link", "set", ends[side], "up")
                _sh("ip", "-n", ns, "link", "set", "lo", "up")
        except BaseException:
            self.close()
            raise

    def command(self, side, *args):
        """The command line that runs args on that side."""
        return ["ip", "netns", "exec", self.ns[side], *args]

    def close(self):
        for ns in self.ns.values():
            subprocess.run(["ip", "netns", "del", ns], capture_output=True)


def _sh(*cmd):
    subprocess.run(cmd, check=True, capture_output=True)


class E2ETest(unittest.TestCase):
    """Gives each test a scratch directory and ends any receiver it started."""

    def setUp(self):
        self._tmp = tempfile.TemporaryDirectory(prefix="e2e")
        self.dir = self._tmp.name
        self.receivers = []
        self._work_before = work_files("catchr") | work_files("pitchr")

    def tearDown(self):
        for rx in self.receivers:
            rx.kill()
        self._rx_left = rx_work_files(self.dir)
        self.doCleanups()  # mounts inside the scratch directory go before it does
        self._tmp.cleanup()
        left = (work_files("catchr") | work_files("pitchr")) - self._work_before
        self.assertEqual(left, set(), "work files left behind")
        self.assertEqual(self._rx_left, set(), "work files left beside final names")

    def start_receiver(self, *args, cwd=None, ready=True, tty=False, env=None, keyboard=True):
        rx = Receiver(args, cwd=cwd or self.dir, tty=tty, env=env, keyboard=keyboard)
        self.receivers.append(rx)
        if ready:
            rx.expect("Listen at")
            port = int(next((a for a in args if a.isdigit()), 9500))
            wait_listening(port)
        return rx

    def send(self, port, header, body=b"", reply=True):
        """Sends raw bytes to a receiver; its reply up to CR, or None without waiting."""
        with connect(port) as s:
            s.sendall(header + body)
            return read_until_cr(s) if reply else None

    def write(self, name, data):
        path = os.path.join(self.dir, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        return path
