"""The pickup service relaying receivers that are not mailboxes here: to an SMTP peer scripted per
receiver, through a sendmail stand-in, and to a private Postfix. Each receiver ends as the relay
answered it, none is ever sent twice, not even with the service killed at random moments."""

import json
import os
import pathlib
import random
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
sys.path.insert(0, os.path.dirname(__file__))
import drossgate  # noqa: E402
from relay_peer import Peer  # noqa: E402

ADA = drossgate.ADA
MESSAGE = "From: s@example.org\r\nSubject: out\r\n\r\nbody\r\n.starts with a dot\r\n"
SECRET = os.path.join(tempfile.gettempdir(), "drossgate-relay-secret-%d" % os.getpid())
OK, LATER, NO = "ok@out.example", "later@out.example", "no@out.example"
REPLIES = {"ok": "250 2.1.5 ok", "later": "451 4.3.0 try later", "no": "550 5.1.1 no such user"}


def by_name(address, asked):
    """ok@, later@ and no@ answer as they say; later@ takes the message when asked again."""
    name = address.split("@")[0].split("-")[0]
    return REPLIES["ok" if name == "later" and asked else name]


def pickup_file(*receivers, sender="s@example.org"):
    return "".join("x-receiver: %s\r\n" % r for r in receivers) + \
        "x-sender: %s\r\n" % sender + MESSAGE


class Relay(unittest.TestCase):
    def start(self, relay=None, password_mode=0o600, **peer_options):
        self.peer = Peer(login=("u", "s3cret"), **peer_options)
        self.addCleanup(self.peer.close)
        settings = {"host": "127.0.0.1", "port": self.peer.port, "retry_first": 0}
        settings.update(relay or {})
        self.platform = drossgate.Platform({"relay": settings, "pickup": {"remake_after": 0}})
        self.addCleanup(self.platform.close)
        self.pickup = self.platform.root / "pickup"
        if "password_file" in settings:  # outside the root, whose files the tool keeps 0600
            secret = pathlib.Path(settings["password_file"])
            secret.write_text("s3cret\n")
            secret.chmod(password_mode)
            self.addCleanup(secret.unlink, missing_ok=True)

    def drop(self, content, name="m.eml"):
        (self.pickup / name).write_bytes(content.encode("latin-1"))

    def once(self):
        """smtp --once: (exit status, its lines by file name)."""
        r = self.platform.run("smtp", "--once")
        lines = [json.loads(line) for line in r.stdout.decode().splitlines()]
        return r.returncode, {os.path.basename(line["file"]): line for line in lines}

    def folder(self):
        folder = pathlib.Path(tempfile.mkdtemp(prefix="drossgate-relay-"))
        self.addCleanup(shutil.rmtree, folder)
        return folder

    def certificate(self):  # self-signed for 127.0.0.1, in a folder of its own
        folder = self.folder()
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", str(folder / "key.pem"), "-out", str(folder / "cert.pem")],
                       check=True, capture_output=True)
        return str(folder / "cert.pem"), str(folder / "key.pem")

    def states(self, line):
        return {r["receiver"]: r["state"] for r in line["receivers"]}

    def test_each_receiver_ends_as_the_relay_answers(self):
        no_server = drossgate.free_port()
        cert, key = self.certificate()
        cases = [  # name, receivers, peer and password file options, relay settings, states, exit
            ("each as answered", [OK, LATER, NO, ADA], {}, {},
             {OK: "relayed", LATER: "waiting", NO: "set-aside", ADA: "delivered"}, 0),
            ("dropped before the reply to the data", [OK], {"drop": "data"}, {}, "waiting", 0),
            ("dropped at the greeting", [OK], {"drop": "greeting"}, {}, "waiting", 0),
            ("no server listening", [OK], {}, {"port": no_server}, "waiting", 0),
            ("put off past the age limit", [LATER], {}, {"give_up_after": 0}, "set-aside", 3),
            ("refused only", [NO], {}, {}, "set-aside", 3),
            ("logged in", [OK], {}, {"auth": "u", "password_file": SECRET}, "relayed", 0),
            ("the login refused", [OK], {}, {"auth": "x", "password_file": SECRET}, "waiting", 0),
            ("over TLS", [OK], {"tls": (cert, key)}, {"starttls": True, "ca_file": cert},
             "relayed", 0),
            ("TLS from an unknown authority", [OK], {"tls": (cert, key)}, {"starttls": True},
             "waiting", 0),
            ("TLS insisted on, not offered", [OK], {}, {"starttls": True}, "waiting", 0),
            ("a password file others can read", [OK], {"password_mode": 0o644},
             {"auth": "u", "password_file": SECRET}, "waiting", 0),
            # A line break inside an address would start a command of its own.
            ("an address that could end the command", [OK + "\rDATA"], {}, {}, {}, 3),
        ]
        for name, receivers, peer_options, relay, states, status in cases:
            with self.subTest(name):
                if isinstance(states, str):
                    states = {receivers[0]: states}
                self.start(relay, answer=by_name, **peer_options)
                self.drop(pickup_file(*receivers))
                code, lines = self.once()
                self.assertEqual(code, status, lines)
                self.assertNotIn("s3cret", json.dumps(lines))
                if states:
                    self.assertEqual(self.states(lines["m.eml"]), states)
                relayed = {r for r, s in states.items() if s == "relayed"}
                self.assertEqual(dict(self.peer.received()), {r: 1 for r in relayed})
                # The delivery log's last word on each receiver is what the queue says.
                last = {e["mailbox"]: e["event"] for e in map(json.loads, self.platform.tool(
                    "log", "--json").decode().splitlines())}
                logged = {"relayed": {"relayed"}, "waiting": {"deferred"},
                          "set-aside": {"set-aside", "bounced"}, "delivered": {"delivered"}}
                for receiver, state in states.items():
                    self.assertIn(last.get("ada" if receiver == ADA else receiver),
                                  logged[state], (receiver, last))
                self.assertEqual((self.pickup / "m.eml").exists(), "waiting" in states.values())
                if relayed:
                    self.assertIn(b"\r\n..starts with a dot\r\n", self.peer.taken[0]["data"])
                    self.assertEqual(self.peer.taken[0]["tls"], "ca_file" in relay)

    def test_queue_shows_retries_and_drops(self):
        self.start({"retry_first": 3600}, answer=by_name)
        self.drop(pickup_file(OK, LATER), "w.eml")
        self.drop(pickup_file(NO), "s.eml")
        self.once()
        listed = {f["id"]: f for f in map(json.loads, self.platform.tool(
            "queue", "ls", "--json").decode().splitlines())}
        self.assertEqual(set(listed), {"w.eml", "undeliverable/s.eml"})
        self.assertIn("451 4.3.0", json.dumps(listed["w.eml"]))
        self.assertIn("550 5.1.1", listed["undeliverable/s.eml"]["reason"])
        self.once()  # not due yet: nothing asked
        self.assertEqual(self.peer.asked[LATER], 1)
        self.platform.tool("queue", "retry", "--all")
        self.assertEqual(self.once()[0], 3)  # s.eml refused again
        self.assertEqual(self.peer.received(), {OK: 1, LATER: 1})  # each once, OK never again
        self.assertEqual((self.peer.asked[OK], self.peer.asked[NO]), (1, 2))
        self.platform.tool("queue", "drop", "undeliverable/s.eml")
        self.assertEqual(self.platform.tool("queue", "ls"), b"")
        self.assertNotEqual(self.platform.run("queue", "drop", "../store.db").returncode, 0)

    def test_through_sendmail(self):
        for status, state in ((0, "relayed"), (75, "waiting"), (67, "set-aside")):
            with self.subTest(status=status):
                stand_in = self.folder() / "sendmail"
                stand_in.write_text('#!/bin/sh\nprintf "%%s\\n" "$@" > "$0.args"\n'
                                    'cat > "$0.data"\nexit %d\n' % status)
                stand_in.chmod(0o700)
                self.start({"via": "sendmail", "sendmail": str(stand_in)})
                self.drop(pickup_file(OK, "-x@out.example"))
                _, lines = self.once()
                self.assertEqual(set(self.states(lines["m.eml"]).values()), {state})
                self.assertEqual(pathlib.Path(str(stand_in) + ".args").read_text().split("\n"),
                                 ["-i", "-f", "s@example.org", "--", OK, "-x@out.example", ""])

    def test_killed_at_random_moments_sends_no_receiver_twice(self):
        def slow(address, asked):
            time.sleep(0.05)
            return REPLIES["later" if asked == 0 and int(address[1:address.index("-")]) % 3 == 0 else "ok"]

        self.start(answer=slow)
        receivers = ["r%d-%d@out.example" % (f, r) for f in range(12) for r in range(3)]
        for f in range(12):
            self.drop(pickup_file(*receivers[3 * f:3 * f + 3]), "f%02d.eml" % f)
        rng = random.Random(5)
        for _ in range(20):
            service = subprocess.Popen(
                [drossgate.TOOL, "--root", str(self.platform.root), "smtp"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(rng.uniform(0.05, 0.4))
            service.kill()
            service.wait()
        for _ in range(5):
            if not list(self.pickup.glob("*.eml")):
                break
            self.once()
        self.assertEqual(list(self.pickup.glob("*.eml")), [])
        self.assertEqual(set(self.peer.received()), set(receivers))
        for r in receivers:
            # Sent twice only if killed between the relay's reply and its record: that
            # conversation never said QUIT.
            copies = [m for m in self.peer.taken if r in m["receivers"]]
            self.assertTrue(all(not m["quit"] for m in copies[:-1]), (r, copies))


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("postfix"), "needs root and Postfix")
class ToPostfix(unittest.TestCase):
    def test_a_forward_reaches_postfix_with_its_envelope(self):
        spam = b"From: s@example.org\r\nSubject: offer\r\nX-Spam-Flag: YES\r\n\r\nbuy\r\n"
        for sender, expected in (("original", "s@example.org"), ("forwarder", ADA)):
            with self.subTest(sender=sender):
                postfix = drossgate.PrivatePostfix("discard")
                self.addCleanup(postfix.close)
                platform = drossgate.Platform({
                    "relay": {"host": "127.0.0.1", "port": postfix.port, "sender": sender},
                    "pickup": {"remake_after": 0}})
                self.addCleanup(platform.close)
                platform.install("Far <far@outside.example>\t\rX-Spam-Flag: YES\t\r1")
                platform.tool("deliver", "--to", "ada", "-", stdin=spam)
                platform.tool("smtp", "--once")
                log = postfix.wait_for("to=<far@outside.example>")
                self.assertIn("from=<%s>" % expected, log)
                self.assertEqual(list((platform.root / "pickup").glob("*.eml")), [])


if __name__ == "__main__":
    unittest.main()
