"""TLS end to end: keys kept private, the first pairing confirmed at the receiver's keyboard,
pins that refuse a receiver whose key or TLS went away, --secure at either end, and peers
that stall or babble where the handshake should be."""
import os
import re
import socket
import stat
import subprocess
import threading

from harness import (CATCHR, KEYLESS, PITCHR, RX_ADDR, E2ETest, Receiver, connect, fresh_port,
                     read_until_cr, run_pitchr)
from peers import Proxy

HELLO = b"\r\rCATCHR-EXT 1 verify resume times batch tls\r"
ANSWER = b"CATCHR-EXT 1 verify resume times batch tls"
FP = r"SHA256:[A-Za-z0-9+/]{43}"
OUTSIDE_TLS = "this receiver takes files only over TLS (catchr --secure)"


class Tls(E2ETest):
    """Each test has keys, trusted senders and pins of its own under conf."""

    def setUp(self):
        super().setUp()
        self.conf = os.path.join(self.dir, "conf")
        self.env = {"XDG_CONFIG_HOME": self.conf}
        self.dst = os.path.join(self.dir, "dst")
        os.makedirs(self.dst)
        self.port = fresh_port()
        self.data = os.urandom(20000)
        self.src = self.write("secret.bin", self.data)

    def receiver(self, *args, env=None, **kw):
        return self.start_receiver(str(self.port), *args, cwd=self.dst, env={**self.env, **(env or {})}, **kw)

    def pitchr(self, *args, port=None, env=None, timeout=30):
        return run_pitchr([*args, self.src, RX_ADDR, str(port or self.port)], timeout=timeout,
                          env={**self.env, **(env or {})})

    def run_program(self, *args, env=None):
        return subprocess.run(args, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=10,
                              env={**os.environ, **self.env, **(env or {})})

    def fingerprint(self, program, env=None):
        proc = self.run_program(program, "--fingerprint", env=env)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        self.assertRegex(proc.stdout, f"^{FP}\n$")
        return proc.stdout.strip()

    def trust_sender(self, env=None):
        proc = self.run_program(CATCHR, "--trust", self.fingerprint(PITCHR), env=env)
        self.assertEqual(proc.returncode, 0, proc.stderr)
        return proc.stdout

    def take_stored(self):
        """The file as it arrived, removed so that the next send starts from nothing; None
        when nothing arrived."""
        path = os.path.join(self.dst, "secret.bin")
        if not os.path.exists(path):
            return None
        with open(path, "rb") as f:
            data = f.read()
        os.remove(path)
        return data

    def entries(self, path):
        """The lines of a trusted-senders or known-receivers file as {first word: second}."""
        if not os.path.exists(path):
            return {}
        with open(path) as f:
            return dict(line.split()[:2] for line in f if line.strip() and not line.startswith("#"))

    def pins(self):
        return self.entries(os.path.join(self.conf, "pitchr", "known_receivers"))


class Keys(Tls):
    def test_keys_are_made_private_and_a_readable_one_is_refused_with_the_mend(self):
        old = os.umask(0)  # the modes must not come from the umask
        try:
            fps = {program: self.fingerprint(program) for program in (CATCHR, PITCHR)}
        finally:
            os.umask(old)
        for program in (CATCHR, PITCHR):
            with self.subTest(program=os.path.basename(program)):
                where = os.path.join(self.conf, os.path.basename(program))
                self.assertEqual(stat.S_IMODE(os.stat(where).st_mode), 0o700)
                self.assertEqual(stat.S_IMODE(os.stat(os.path.join(where, "key.pem")).st_mode), 0o600)
                self.assertEqual(self.fingerprint(program), fps[program])  # made once, then kept
        self.assertNotEqual(fps[CATCHR], fps[PITCHR])

        rx_key = os.path.join(self.conf, "catchr", "key.pem")
        os.chmod(rx_key, 0o640)
        why = f"{rx_key} can be read by other users (mode 0640): chmod go-rwx {rx_key}"
        proc = self.run_program(CATCHR, "--secure", str(self.port))
        self.assertEqual(proc.returncode, 2, proc.stderr)
        self.assertIn(why, proc.stderr)
        self.assertEqual(f"catchr: --secure needs TLS, and TLS needs the receiver's key: {why}\n", proc.stderr)
        rx = self.receiver()
        rx.expect(f"catchr: receiving without TLS: {why}\n")
        status, out, err = self.pitchr("--secure")
        self.assertEqual(status, 1, out + err)
        self.assertIn(f"{RX_ADDR}:{self.port} offers no TLS, and --secure asks for it", out)

        tx_key = os.path.join(self.conf, "pitchr", "key.pem")
        os.chmod(tx_key, 0o640)
        status, out, err = self.pitchr()
        self.assertEqual(status, 0, out + err)
        self.assertTrue(out.startswith(f"TLS is not offered: {tx_key} can be read by other users (mode 0640): "
                                       f"chmod go-rwx {tx_key}\n"), out)
        self.assertEqual(self.take_stored(), self.data)


class Pairing(Tls):
    def start_pairing(self):
        """catchr --secure and pitchr, each on a terminal of its own, both showing the code."""
        rx = self.receiver("--secure", tty=True)
        tx = Receiver([self.src, RX_ADDR, str(self.port)], cwd=self.dir, tty=True, env=self.env, program=PITCHR)
        self.receivers.append(tx)
        shown_tx = re.search(rf"Pairing with {RX_ADDR}:{self.port} \(key ({FP})\): code (\d{{6}}) .* press y on "
                             r"the receiver if it shows the same code\n", tx.expect("same code\n"))
        # The question's line, then the status line that says which key to press.
        shown_rx = re.search(rf"Pairing: the sender at (127\.0\.0\.1:\d+) \(key ({FP})\) shows code (\d{{6}})\?\n",
                             rx.expect(", n if not"))
        self.assertIsNotNone(shown_tx, tx.text())
        self.assertIsNotNone(shown_rx, rx.text())
        self.assertEqual(shown_rx[3], shown_tx[2])
        self.assertIn(f"press y if the sender shows code {shown_rx[3]}, n if not", rx.text())
        # Each end shows the other's key as that program tells its own.
        self.assertEqual(shown_tx[1], self.fingerprint(CATCHR))
        self.assertEqual(shown_rx[2], self.fingerprint(PITCHR))
        return rx, tx, shown_rx[1]

    def test_y_trusts_the_sender_for_good_and_pins_the_receiver(self):
        rx, tx, peer = self.start_pairing()
        rx.press_key(b"y")
        self.assertEqual(tx.wait(timeout=15), 0, tx.text())
        rx.expect(f"Paired with {peer}: its key is trusted from now on\n")
        self.assertEqual(self.take_stored(), self.data)
        trusted = self.entries(os.path.join(self.conf, "catchr", "trusted_senders"))
        self.assertEqual(list(trusted), [self.fingerprint(PITCHR)])
        self.assertEqual(self.pins(), {f"{RX_ADDR}:{self.port}": self.fingerprint(CATCHR)})
        status, out, err = self.pitchr()  # no key to press this time
        self.assertEqual(status, 0, out + err)
        self.assertNotIn("Pairing", out)
        self.assertEqual(self.take_stored(), self.data)
        self.assertEqual(rx.text().count("Pairing: "), 1)

    def test_n_refuses_and_neither_end_keeps_the_other(self):
        rx, tx, peer = self.start_pairing()
        rx.press_key(b"n")
        self.assertEqual(tx.wait(timeout=15), 1, tx.text())
        self.assertIn(f"{RX_ADDR}:{self.port} refused: the pairing was refused at the receiver", tx.text())
        rx.expect(f"Pairing with {peer} refused\n")
        self.assertIsNone(self.take_stored())
        self.assertEqual(self.entries(os.path.join(self.conf, "catchr", "trusted_senders")), {})
        self.assertEqual(self.pins(), {})

    def test_without_a_keyboard_a_service_is_told_to_trust_the_sender(self):
        state = os.path.join(self.dir, "state")
        service = {"STATE_DIRECTORY": state}  # where a service manager keeps it: before XDG_CONFIG_HOME
        rx = self.receiver("--secure", env=service, keyboard=False)
        told = f"not paired: on the receiver, run catchr --trust {self.fingerprint(PITCHR)}"
        status, out, err = self.pitchr()
        self.assertEqual(status, 1, out + err)
        self.assertIn(f"{RX_ADDR}:{self.port} refused: {told}\n", out)
        rx.expect(f"ERROR: {told}; connection closed (from 127.0.0.1:")
        self.assertIsNone(self.take_stored())
        self.assertIn(os.path.join(state, "trusted_senders"), self.trust_sender(env=service))
        status, out, err = self.pitchr()
        self.assertEqual(status, 0, out + err)
        self.assertEqual(self.take_stored(), self.data)
        self.assertEqual(self.pins(), {f"{RX_ADDR}:{self.port}": self.fingerprint(CATCHR, env=service)})
        self.assertFalse(os.path.exists(os.path.join(self.conf, "catchr")))
        self.assertNotIn("Pairing", rx.text())


class Pins(Tls):
    def new_key(self, rx, proxy):
        os.remove(os.path.join(self.conf, "catchr", "key.pem"))  # made anew when it starts
        rx.kill()
        self.receiver()

    def keyless(self, rx, proxy):
        rx.kill()
        self.receiver(env=KEYLESS)

    def stripped(self, rx, proxy):
        proxy.strip_tls = True

    def sender_key_unusable(self, rx, proxy):
        os.chmod(os.path.join(self.conf, "pitchr", "key.pem"), 0o640)

    def test_a_pinned_receiver_is_refused_once_its_key_or_its_tls_is_gone(self):
        pins_file = os.path.join("{conf}", "pitchr", "known_receivers")
        cases = {  # how the receiver changes, and what pitchr says
            "new-key": (self.new_key, "shows the key {new}, not the one it showed before ({old}): nothing is sent. "
                        "If its key was really made anew, remove line {line} of " + pins_file + " to meet it again"),
            "keyless": (self.keyless, "was met over TLS before, and now offers no TLS"),
            "stripped": (self.stripped, "was met over TLS before, and now offers no TLS"),
            # Without its key the sender offers no TLS itself: the pin holds all the same.
            "sender-key-unusable": (self.sender_key_unusable, "was met over TLS before, and this sender has no key "
                                    "for TLS: " + os.path.join("{conf}", "pitchr", "key.pem") + " can be read by "
                                    "other users (mode 0640)"),
        }
        for case, (change, why) in cases.items():
            with self.subTest(case=case):
                self.conf = os.path.join(self.dir, case)
                self.env = {"XDG_CONFIG_HOME": self.conf}
                self.port = fresh_port()
                self.trust_sender()
                rx = self.receiver()
                proxy = Proxy(self.port, keep=True)
                self.addCleanup(proxy.close)
                status, out, err = self.pitchr(port=proxy.port)
                self.assertEqual(status, 0, out + err)
                self.assertEqual(self.take_stored(), self.data)
                old = self.fingerprint(CATCHR)
                self.assertEqual(self.pins(), {f"{RX_ADDR}:{proxy.port}": old})
                self.assertNotIn(self.data, bytes(proxy.seen[0]))
                change(rx, proxy)
                status, out, err = self.pitchr(port=proxy.port)
                self.assertEqual(status, 1, out + err)
                with open(pins_file.format(conf=self.conf)) as f:
                    line = next(n for n, text in enumerate(f, 1) if text.startswith(f"{RX_ADDR}:{proxy.port} "))
                said = f"{RX_ADDR}:{proxy.port} " + why.format(new=self.fingerprint(CATCHR), old=old, conf=self.conf,
                                                               line=line)
                self.assertIn(said, out)
                self.assertIsNone(self.take_stored())
                self.assertEqual(proxy.connections, 2)  # refused at once: not tried again
                self.assertNotIn(self.data, bytes(proxy.seen[1]))
                self.assertEqual(self.pins(), {f"{RX_ADDR}:{proxy.port}": old})

    def test_unpinned_ends_that_ask_for_nothing_go_plain_when_tls_is_stripped(self):
        self.receiver()
        proxy = Proxy(self.port, keep=True)
        self.addCleanup(proxy.close)
        for strip in (False, True):
            with self.subTest(strip=strip):
                proxy.strip_tls = strip
                status, out, err = self.pitchr(port=proxy.port)
                self.assertEqual(status, 0, out + err)
                self.assertEqual(self.take_stored(), self.data)
                self.assertEqual(self.data in bytes(proxy.seen[-1]), strip)
        self.assertEqual(self.pins(), {})  # OPEN pins nothing


class Secure(Tls):
    def test_either_end_with_secure_refuses_what_is_not_a_paired_tls_connection(self):
        cases = {  # catchr's arguments and environment, pitchr's, what pitchr hears
            "keyless sender": (["--secure"], {}, [], KEYLESS, f"not stored: {OUTSIDE_TLS}"),
            "keyless classic sender": (["--secure"], {}, ["--classic"], KEYLESS, f"not stored: {OUTSIDE_TLS}"),
            "receiver that does not know the sender": (
                [], {}, ["--secure"], {}, "does not know this sender's key, and --secure asks for a paired "
                "receiver: start catchr there with --secure to pair, or run catchr --trust {fp} there"),
            # With -k too, the refusal ends the run: no other file would go either.
            "keyless receiver": ([], KEYLESS, ["--secure", "-k", self.write("other.bin", b"other")], {},
                                 "offers no TLS, and --secure asks for it"),
        }
        for case, (rx_args, rx_env, tx_args, tx_env, why) in cases.items():
            with self.subTest(case=case):
                self.port = fresh_port()
                rx = self.receiver(*rx_args, env=rx_env)
                status, out, err = self.pitchr(*tx_args, env=tx_env)
                self.assertEqual(status, 1, out + err)
                self.assertIn(why.format(fp=self.fingerprint(PITCHR)), out)
                self.assertEqual(out.count("ERROR"), 1, out)
                if "-k" in tx_args:
                    self.assertIn("failed: 1; not tried: 1", out)
                self.assertIsNone(self.take_stored())
                if rx_args:
                    rx.expect(f"ERROR: {OUTSIDE_TLS}; connection closed (from 127.0.0.1:")
                rx.kill()
        self.assertEqual(self.pins(), {})


class HostilePeers(Tls):
    def test_peers_that_stall_or_babble_in_the_handshake_hold_up_no_sender(self):
        # --secure with a trusted sender: had the loop waited on them, pitchr would have taken
        # the receiver for classic and been refused.
        self.trust_sender()
        rx = self.receiver("--secure", keyboard=False)
        peers = {  # what follows the hello's answer, and what catchr says of it
            "nothing": (b"", "no TLS handshake within 10 s; connection closed"),
            "half a ClientHello": (b"\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03" + os.urandom(40),
                                   "no TLS handshake within 10 s; connection closed"),
            "bytes that are not TLS": (b"NOT TLS " + os.urandom(300),
                                       "the TLS handshake failed: the peer does not speak TLS; connection closed"),
        }
        socks = {}
        for case, (after, _) in peers.items():
            socks[case] = connect(self.port)
            self.addCleanup(socks[case].close)
            socks[case].sendall(HELLO)
            self.assertEqual(read_until_cr(socks[case]), ANSWER, case)
            socks[case].sendall(after)
        status, out, err = self.pitchr("--secure")
        self.assertEqual(status, 0, out + err)
        self.assertEqual(self.take_stored(), self.data)
        for case, (_, why) in peers.items():
            with self.subTest(case=case):
                socks[case].settimeout(15)
                try:
                    self.assertEqual(socks[case].recv(4096), b"")
                except ConnectionResetError:
                    pass
                rx.expect(f"ERROR: {why} (from 127.0.0.1:{socks[case].getsockname()[1]})", timeout=15)
        self.assertEqual(os.listdir(self.dst), [])

    def test_stalled_handshakes_give_way_when_every_connection_is_taken(self):
        self.trust_sender()
        rx = self.receiver("--secure", "--max-connections", "2", keyboard=False)
        for source in ("127.0.2.1", "127.0.2.2"):
            s = connect(self.port, source=source)
            self.addCleanup(s.close)
            s.sendall(HELLO)
            self.assertEqual(read_until_cr(s), ANSWER)
        status, out, err = self.pitchr("--secure", timeout=8)  # not held until their 10 s end
        self.assertEqual(status, 0, out + err)
        self.assertEqual(self.take_stored(), self.data)
        rx.expect("all connections were taken")

    def test_a_receiver_that_stalls_or_babbles_after_naming_tls_gets_nothing(self):
        cases = {  # what the stand-in sends, whether with its answer or after the ClientHello,
            # and what pitchr says
            "stalls": (None, False, "the handshake did not end within 10 s"),
            "babbles": (b"NOT TLS " + os.urandom(300), False, "the TLS handshake failed: the peer does not speak TLS"),
            # In the same segment as the answer: seen at once, not after a wait.
            "babbles with its answer": (b"PAIRED\r", True, "it sent bytes before the TLS handshake"),
        }
        for case, (reply, with_answer, why) in cases.items():
            with self.subTest(case=case):
                listener = socket.create_server((RX_ADDR, 0))
                self.addCleanup(listener.close)
                got = bytearray()
                serving = threading.Thread(target=self.stand_in, args=(listener, reply, with_answer, got), daemon=True)
                serving.start()
                status, out, err = self.pitchr(port=listener.getsockname()[1], timeout=20)
                self.assertEqual(status, 1, out + err)
                self.assertIn(f"not sent: no TLS with {RX_ADDR}:{listener.getsockname()[1]}: {why}\n", out)
                serving.join(timeout=10)
                self.assertFalse(serving.is_alive())
                self.assertTrue(got.startswith(HELLO), got[:100])
                if not with_answer:
                    self.assertEqual(got[len(HELLO)], 0x16)  # a handshake record, and the file never
                self.assertNotIn(self.data, bytes(got))

    @staticmethod
    def stand_in(listener, reply, with_answer, got):
        """A receiver that answers the hello naming tls and sends reply with that answer, or
        after the ClientHello, or nothing; it keeps what it got until the sender closes."""
        conn, _ = listener.accept()
        with conn:
            conn.settimeout(30)
            try:
                while got.count(b"\r") < 3 and (chunk := conn.recv(4096)):
                    got += chunk
                conn.sendall(ANSWER + b"\r" + (reply if with_answer else b""))
                while not with_answer and len(got) == len(HELLO) and (chunk := conn.recv(4096)):
                    got += chunk
                if reply and not with_answer:
                    conn.sendall(reply)
                while chunk := conn.recv(65536):
                    got += chunk
            except OSError:
                pass
