"""catchr's fixed limits, each exercised once: a peer that goes quiet in its body, and one
whose header never ends, are dropped."""
import os
import time
import unittest

from harness import E2ETest, connect, fresh_port, read_until_cr


class SilentPeer(E2ETest):
    def test_quiet_peer_is_dropped_and_the_next_one_served(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        start = time.monotonic()
        with connect(port, timeout=90) as quiet:
            quiet.sendall(b"slow.bin\r\r10\r12345")  # then nothing
            self.assertIsNone(read_until_cr(quiet, timeout=90))
        waited = time.monotonic() - start
        self.assertGreaterEqual(waited, 59)
        self.assertLess(waited, 75)
        rx.expect("ERROR: slow.bin: no data from the sender for 60 s after 5 B of 10 B; nothing stored")
        with connect(port) as s:
            s.sendall(b"next\r\r2\rok")
            self.assertEqual(read_until_cr(s), b"OK")
        self.assertFalse(os.path.exists(os.path.join(self.dir, "slow.bin")))

    def test_header_must_be_complete_within_its_deadline(self):
        port = fresh_port()
        rx = self.start_receiver(str(port))
        start = time.monotonic()
        with connect(port, timeout=30) as trickle:
            # One byte a second keeps the body's silence limit away, not the header's deadline.
            for ch in b"slowname":
                trickle.sendall(bytes([ch]))
                time.sleep(1)
            self.assertIsNone(read_until_cr(trickle, timeout=30))
        waited = time.monotonic() - start
        self.assertGreaterEqual(waited, 9.5)
        self.assertLess(waited, 15)
        rx.expect("ERROR: no complete header within 10 s; connection closed")


if __name__ == "__main__":
    unittest.main()
