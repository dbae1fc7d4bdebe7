"""The LMTP service as mail servers meet it, driven by Python's own LMTP client and by plain
socket conversations where the per-recipient replies after the data must be read one by one.
A real mail server's LMTP client meets it in the Postfix test."""

import functools
import os
import random
import socket
import smtplib
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import drossgate  # noqa: E402

ADA = drossgate.ADA


class Conversation:
    """A plain socket conversation: send bytes, read reply lines."""

    def __init__(self, address):
        self.sock = socket.create_connection(address, timeout=30)
        self.file = self.sock.makefile("rb")
        self.greeting = self.line()

    def send(self, data):
        self.sock.sendall(data)

    def line(self):
        return self.file.readline().decode()

    def replies(self, count):
        """count complete replies (a multi-line reply counts once); each its last line."""
        out = []
        while len(out) < count:
            line = self.line()
            if not line:
                break
            if line[3:4] != "-":
                out.append(line.rstrip("\r\n"))
        return out

    def close(self):
        self.file.close()
        self.sock.close()


class LmtpService(unittest.TestCase):
    settings = {"lmtp": {"max_message_size": 4096, "max_recipients": 3, "max_sessions": 3,
                         "idle_timeout": 2}}

    def setUp(self):
        self.platform = drossgate.Platform(self.settings)
        self.service = drossgate.Service(self.platform, "lmtp")

    def tearDown(self):
        self.service.stop()
        self.platform.close()

    def inbox(self, alias):
        return sorted(self.platform.messages(alias).values())

    def test_pipelined_conversation_replies_in_order_one_per_recipient(self):
        c = Conversation(self.service.address)
        c.send(b"LHLO x\r\nMAIL FROM:<s@example.org> SIZE=40\r\nRCPT TO:<ada>\r\n"
               b"RCPT TO:<nobody@example.com>\r\nRCPT TO:<bruno.keller+tag@example.com>\r\nDATA\r\n"
               b"Subject: two\r\n\r\n..leading dot\r\nbare\nlf\r\n.\r\nQUIT\r\n")
        replies = c.replies(9)
        c.close()
        self.assertEqual([r[:3] for r in replies],
                         ["250", "250", "250", "550", "250", "354", "250", "250", "221"])
        self.assertTrue(replies[3].startswith("550 5.1.1"))
        self.assertIn("/MBX/ada/Inbox/", replies[6])
        self.assertIn("/MBX/bruno/Posteingang/", replies[7])
        # Dot-stuffing undone, a bare LF kept as message text, nothing else changed.
        self.assertEqual(self.inbox("ada"), [b"Subject: two\r\n\r\n.leading dot\r\nbare\nlf\r\n"])
        # The journal has one line per delivery, as the delivery log reads.
        said = self.service.stop()
        for alias in ("ada", "bruno"):
            self.assertRegex(said, r"(?m)^lmtp: \d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ %s <> "
                             r"delivered via lmtp \(39 bytes\)$" % alias)

    def test_dropped_connection_delivers_nothing(self):
        for cut in (b"\r\n.", b"\r\n", b"\n.\n"):  # before the final CR LF "." CR LF
            c = Conversation(self.service.address)
            c.send(b"LHLO x\r\nMAIL FROM:<>\r\nRCPT TO:<ada>\r\nDATA\r\nSubject: cut\r\n\r\nx"
                   + cut)
            c.replies(4)
            c.close()
        time.sleep(0.3)
        self.assertEqual(self.inbox("ada"), [])

    def test_limits_get_their_replies(self):
        c = Conversation(self.service.address)
        c.send(b"LHLO x\r\nMAIL FROM:<s@x.org> SIZE=999999\r\nMAIL FROM:<s@x.org>\r\n"
               + b"".join(b"RCPT TO:<ada>\r\n" for _ in range(4)) + b"DATA\r\n"
               + b"Subject: big\r\n\r\n" + (b"x" * 70 + b"\r\n") * 80 + b".\r\n")
        replies = c.replies(11)
        self.assertTrue(replies[1].startswith("552 5.3.4"), replies[1])  # declared too big
        self.assertTrue(replies[6].startswith("452 4.5.3"), replies[6])  # the fourth recipient
        self.assertEqual([r[:9] for r in replies[8:11]], ["552 5.3.4"] * 3)  # data too big
        # Idle past the timeout: told, and cut off (the connection closed: its session is gone
        # before the ones below arrive).
        self.assertTrue(c.replies(1)[0].startswith("421 4.4.2"))
        self.assertEqual(c.file.read(), b"")
        c.close()
        # More sessions than allowed at once: the one too many is told to come back later.
        held = [Conversation(self.service.address) for _ in range(3)]
        extra = Conversation(self.service.address)
        self.assertTrue(extra.greeting.startswith("421 4.3.2"), extra.greeting)
        for conversation in held + [extra]:
            conversation.close()
        self.assertEqual(self.inbox("ada"), [])

    def test_bad_input_gets_a_reply_or_a_closed_connection(self):
        c = Conversation(self.service.address)
        c.send(b"LHLO x\r\n" + b"N" * 5000 + b"\r\nNO\0OP\r\nEHLO x\r\nRCPT TO:<ada>\r\n"
               b"MAIL FROM:<s@x.org> BOGUS=1\r\nNOOP\r\n")
        replies = c.replies(7)
        self.assertEqual([r[:9] for r in replies],
                         ["250 SIZE ", "500 5.5.2", "500 5.5.2", "500 5.5.1", "503 5.5.1",
                          "555 5.5.4", "250 2.0.0"])
        c.send(bytes(random.Random(7).randrange(256) for _ in range(20000)) + b"\r\n" * 30)
        rest = c.file.read().decode(errors="replace")  # until the service closes
        self.assertIn("421 4.7.0", rest)
        c.close()


class LmtpSocketActivated(unittest.TestCase):
    """Started by systemd's socket unit, the service takes the listening socket it is given."""

    def test_takes_the_socket_it_is_given(self):
        platform = drossgate.Platform()
        listener = socket.socket()
        listener.bind(("127.0.0.1", 0))
        listener.listen()

        def as_systemd_passes_it():
            if listener.fileno() != 3:
                os.dup2(listener.fileno(), 3)
            os.set_inheritable(3, True)
            os.environ["LISTEN_FDS"] = "1"
            os.environ["LISTEN_PID"] = str(os.getpid())

        process = drossgate.subprocess.Popen(
            [drossgate.TOOL, "--root", str(platform.root), "lmtp"], close_fds=False,
            preexec_fn=as_systemd_passes_it, stderr=drossgate.subprocess.PIPE)
        process.stderr.readline()
        client = smtplib.LMTP(*listener.getsockname(), timeout=30)
        client.sendmail("s@example.org", [ADA], b"Subject: activated\r\n\r\nx\r\n")
        client.quit()
        process.terminate()
        process.communicate()
        listener.close()
        self.assertEqual(len(platform.messages("ada")), 1)
        platform.close()


class LmtpKilled(unittest.TestCase):
    """Four clients deliver while the service is killed at random moments: every message that
    got its 250 is in the store exactly once, where its rule puts it."""

    def test_every_acknowledged_message_is_there_once(self):
        platform = drossgate.Platform()
        platform.install("Junk\t[Null]\t\rX-Kind: junk\tX-Kind: drop\t\r1")
        acknowledged = {}
        lock = threading.Lock()
        service = [drossgate.Service(platform, "lmtp")]

        def client(n, stop):
            i = 0
            while not stop.is_set():
                i += 1
                ident = "%d-%d" % (n, i)
                kind = ("keep", "junk", "drop")[i % 3]
                try:
                    c = Conversation(service[0].address)
                except OSError:
                    continue
                try:
                    c.send(("LHLO c\r\nMAIL FROM:<s@x.org>\r\nRCPT TO:<ada>\r\nDATA\r\n"
                            "Subject: m %s\r\nX-Kind: %s\r\n\r\nbody %s\r\n.\r\nQUIT\r\n"
                            % (ident, kind, ident)).encode())
                    replies = c.replies(5)
                except OSError:
                    continue
                finally:
                    c.close()
                if len(replies) >= 5 and replies[4].startswith("250"):
                    with lock:
                        acknowledged[ident] = kind

        drossgate.killed_at_random(service, [functools.partial(client, n) for n in range(4)])
        service[0].stop()

        found = {}
        for url, source in platform.messages("ada").items():
            ident = source.split(b"Subject: m ", 1)[1].split(b"\r\n", 1)[0].decode()
            path = url.split("/MBX/ada/", 1)[1]
            found.setdefault(ident, []).append(path.rsplit("/", 1)[0] if "/" in path else path)
        for ident, kind in acknowledged.items():
            if kind == "drop":  # gone, or parked for a committed phase a kill cut off
                self.assertIn(found.get(ident), (None, ["~~deleteit.eml"]), ident)
            else:
                self.assertEqual(found.get(ident), [{"keep": "Inbox", "junk": "Junk"}[kind]],
                                 ident)
        for ident, places in found.items():
            self.assertEqual(len(places), 1, ident)
        self.assertGreater(len(acknowledged), 20)
        print("%d messages acknowledged across 6 kills" % len(acknowledged), file=sys.stderr)
        platform.close()


if __name__ == "__main__":
    unittest.main()
