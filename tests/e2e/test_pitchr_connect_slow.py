"""pitchr against a port whose queue of connections waiting to be accepted is full: the
kernel drops the new connection's SYNs, so no answer ever comes and the 10 s connect
time-out ends it, as for a PC that is off."""
import socket
import time
import unittest

from harness import E2ETest, fresh_port, run_pitchr

PEER = "127.0.0.1"
CONNECT_TMO = 10


class NoAnswer(E2ETest):
    def test_no_answer_within_the_connect_time_out_says_so(self):
        server = socket.socket()
        self.addCleanup(server.close)
        server.bind((PEER, fresh_port()))
        server.listen(0)  # room for one connection waiting; never accepted
        port = server.getsockname()[1]
        for _ in range(3):
            held = socket.socket()
            self.addCleanup(held.close)
            held.setblocking(False)
            try:
                held.connect((PEER, port))
            except BlockingIOError:
                pass
        time.sleep(0.5)
        path = self.write("a.txt", b"a")
        start = time.monotonic()
        status, out, _ = run_pitchr([path, PEER, str(port)])
        took = time.monotonic() - start
        self.assertEqual(status, 1, out)
        self.assertGreaterEqual(took, CONNECT_TMO - 0.5, out)
        self.assertLess(took, CONNECT_TMO + 5, out)
        self.assertIn(f"ERROR: {path}: not sent: no answer from {PEER} within 10 s (is the address right? "
                      "is the PC on?)\n", out)


if __name__ == "__main__":
    unittest.main()
