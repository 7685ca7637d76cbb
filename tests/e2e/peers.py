"""Stand-in peers for the end-to-end tests: a relay that counts, spoils, cuts or downgrades
what a sender sends, and a receiver of the classic protocol only."""
import socket
import threading
import time

from harness import RX_ADDR, fresh_port

MIB = 1 << 20


class Proxy:
    """A TCP relay in front of a receiver that counts, and may spoil, what the sender sends.

    flip: (offset, every) flips one bit of the byte at that offset of the first connection's
    stream; with every, also at each MiB after it, so that a file sent again is spoilt too. cut: (offset, then) stops relaying once that
    many bytes of the sender's stream went through, calls then() and closes both ends. pace
    relays slowly, as a slow receiver reads. strip_tls takes the word tls out of both hellos,
    as a man in the middle would to keep the connection plain; it may be set between
    connections. keep keeps what the sender sent, per connection, in seen."""

    def __init__(self, port, flip=None, cut=None, pace=None, strip_tls=False, keep=False):
        self.port = fresh_port()
        self.target = port
        self.flip, self.cut = flip, cut
        self.pace = pace  # (bytes, seconds): at most that many bytes, then a pause
        self.strip_tls, self.keep = strip_tls, keep
        self.connections = 0
        self.sent = []  # bytes relayed from the sender, per connection
        self.seen = []
        self.lock = threading.Lock()
        self.listener = socket.create_server((RX_ADDR, self.port))
        threading.Thread(target=self._accept, daemon=True).start()

    def _accept(self):
        while True:
            try:
                down, _ = self.listener.accept()
            except OSError:
                return
            index = self.connections
            self.connections += 1
            self.sent.append(0)
            self.seen.append(bytearray())
            up = socket.create_connection((RX_ADDR, self.target))
            strip = self.strip_tls
            pumps = [2]  # the sockets are closed when both directions are done with them
            threading.Thread(target=self._pump, args=(self._pump_up, (down, up, index, strip), pumps),
                             daemon=True).start()
            threading.Thread(target=self._pump, args=(self._pump_down, (up, down, strip), pumps),
                             daemon=True).start()

    def _pump(self, pump, args, pumps):
        try:
            pump(*args)
        finally:
            with self.lock:
                pumps[0] -= 1
                last = pumps[0] == 0
            if last:
                args[0].close()
                args[1].close()

    @staticmethod
    def _stripped(src, lines):
        """The first lines of src (the sender's header, or the receiver's answer to it), with
        the word tls taken out of a hello among them."""
        data = b""
        while data.count(b"\r") < lines:
            chunk = src.recv(4096)
            if not chunk:
                return data
            data += chunk
        head = data.split(b"\r", lines)
        for i, line in enumerate(head[:lines]):
            if line.startswith(b"CATCHR-EXT "):
                head[i] = b" ".join(word for word in line.split(b" ") if word != b"tls")
        return b"\r".join(head)

    def _pump_up(self, down, up, index, strip=False):
        try:
            if strip:
                data = self._stripped(down, 3)
                up.sendall(data)
                self.sent[index] += len(data)
                if self.keep:
                    self.seen[index] += data
            while True:
                data = bytearray(down.recv(self.pace[0] if self.pace else 65536))
                if not data:
                    up.shutdown(socket.SHUT_WR)
                    return
                if self.pace:
                    time.sleep(self.pace[1])
                at = self.sent[index]
                if self.flip:
                    for spot in self._spots(at, len(data)):
                        data[spot - at] ^= 0x10
                if self.cut and index == 0 and at + len(data) >= self.cut[0]:
                    up.sendall(data[:self.cut[0] - at])
                    self.sent[index] = self.cut[0]
                    self.cut[1]()
                    for s in (up, down):  # the other pump is in recv(): shutdown wakes it
                        s.shutdown(socket.SHUT_RDWR)
                        s.close()
                    return
                up.sendall(data)
                self.sent[index] += len(data)
                if self.keep:
                    self.seen[index] += data
        except OSError:
            pass

    def _spots(self, at, n):
        first, every = self.flip
        if not every:
            return [first] if at <= first < at + n else []
        start = max(first, first + -(-(at - first) // MIB) * MIB)
        return range(start, at + n, MIB)

    def _pump_down(self, up, down, strip=False):
        try:
            if strip:
                down.sendall(self._stripped(up, 1))
            while True:
                data = up.recv(65536)
                if not data:
                    down.shutdown(socket.SHUT_WR)
                    return
                down.sendall(data)
        except OSError:
            pass

    def close(self):
        self.listener.close()


class StandIn:
    """A receiver of the classic protocol only. answers: as the last build without the
    extension, which answers a size line it cannot read ("bad size line ...") and closes;
    otherwise it closes without a word, as the first receivers did. It takes every file it
    can read and answers OK (after delay seconds), keeping the bytes it got, and counts the
    connections it had open at once."""

    def __init__(self, answers, delay=0.0):
        self.port = fresh_port()
        self.answers, self.delay = answers, delay
        self.headers, self.bodies = [], []
        self.open = self.most_at_once = 0
        self.lock = threading.Lock()
        self.listener = socket.create_server((RX_ADDR, self.port))
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self._serve_one, args=(conn,), daemon=True).start()

    def _serve_one(self, conn):
        with self.lock:
            self.open += 1
            self.most_at_once = max(self.most_at_once, self.open)
        with conn:
            self._one(conn)
        self._done()

    def _done(self):
        """A connection stops counting before its reply goes, so that the next one a sender
        makes after the reply never overlaps it."""
        with self.lock:
            if getattr(threading.current_thread(), "counted", True):
                self.open -= 1
                threading.current_thread().counted = False

    def _one(self, conn):
        data = b""
        while data.count(b"\r") < 3:
            chunk = conn.recv(4096)
            if not chunk:
                return
            data += chunk
        name, folder, size, rest = data.split(b"\r", 3)
        self.headers.append((name, folder, size))
        if not size.isdigit():
            self._done()
            if self.answers:
                conn.sendall(b'bad size line "' + size + b'": digits only\r')
            return
        while len(rest) < int(size):
            chunk = conn.recv(65536)
            if not chunk:
                return
            rest += chunk
        self.bodies.append((name, rest))
        time.sleep(self.delay)
        self._done()
        conn.sendall(b"OK\r")

    def close(self):
        self.listener.close()
