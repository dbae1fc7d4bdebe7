"""A loopback SMTP server for the relay tests: answers each RCPT as answer(address, times asked
before) says, can drop the connection at the greeting or before its reply to the data, takes AUTH
PLAIN and STARTTLS, and keeps every message it took, with whether the client then said QUIT."""

import base64
import collections
import re
import socketserver
import ssl
import threading


class Peer:
    def __init__(self, answer=lambda address, asked: "250 2.1.5 ok", drop=None, login=None,
                 tls=None):
        self.answer, self.drop = answer, drop  # drop: None, "greeting" or "data"
        self.login = login  # (user, password) that AUTH PLAIN takes
        self.tls = tls  # (certificate file, key file) for STARTTLS
        self.lock = threading.Lock()
        self.asked = collections.Counter()  # RCPT commands per address
        self.taken = []  # {"sender", "receivers", "data", "quit"}
        self.server = socketserver.ThreadingTCPServer(("127.0.0.1", 0), Conversation)
        self.server.daemon_threads = True
        self.server.peer = self
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def received(self):
        """How many copies each receiver got."""
        with self.lock:
            return collections.Counter(r for m in self.taken for r in m["receivers"])

    def close(self):
        self.server.shutdown()
        self.server.server_close()


class Conversation(socketserver.StreamRequestHandler):
    def say(self, text):
        self.wfile.write(text.encode() + b"\r\n")

    def handle(self):
        peer = self.server.peer
        if peer.drop == "greeting":
            return
        self.say("220 peer.test ESMTP")
        sender, receivers, last, secure = None, [], None, False
        for line in iter(lambda: self.rfile.readline(), b""):
            command = line.decode("latin-1").rstrip("\r\n")
            verb = command[:4].upper()
            address = re.search(r"<([^>]*)>", command)
            address = address.group(1) if address else ""
            if verb in ("EHLO", "HELO"):
                offer = "250-STARTTLS\r\n" if peer.tls and not secure else ""
                self.say("250-peer.test\r\n250-AUTH PLAIN\r\n%s250 8BITMIME" % offer)
            elif verb == "STAR" and peer.tls:
                self.say("220 2.0.0 go ahead")
                context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                context.load_cert_chain(*peer.tls)
                self.request = context.wrap_socket(self.request, server_side=True)
                self.rfile = self.request.makefile("rb")
                self.wfile = self.request.makefile("wb", buffering=0)
                secure = True
            elif verb == "AUTH":
                words = command.split()
                if len(words) < 3:  # no initial response: asked for
                    self.say("334 ")
                    words.append(self.rfile.readline().decode().strip())
                given = base64.b64decode(words[2]).split(b"\0")[1:]
                good = peer.login and given == [x.encode() for x in peer.login]
                self.say("235 2.7.0 welcome" if good else "535 5.7.8 wrong login")
            elif verb == "MAIL":
                sender, receivers = address, []
                self.say("250 2.1.0 ok")
            elif verb == "RCPT":
                with peer.lock:
                    reply = peer.answer(address, peer.asked[address])
                    peer.asked[address] += 1
                if reply.startswith("2"):
                    receivers.append(address)
                self.say(reply)
            elif verb == "DATA":
                self.say("354 go ahead")
                data = b"".join(iter(self.rfile.readline, b".\r\n"))
                if peer.drop == "data":
                    return
                last = {"sender": sender, "receivers": receivers, "data": data, "quit": False,
                        "tls": secure}
                with peer.lock:
                    peer.taken.append(last)
                self.say("250 2.0.0 queued as %d" % len(peer.taken))
            elif verb == "QUIT":
                if last:
                    last["quit"] = True
                self.say("221 bye")
                return
            else:
                self.say("250 ok" if verb in ("RSET", "NOOP") else "502 not here")
