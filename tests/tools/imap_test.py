"""The IMAP service as mail clients meet it: Python's imaplib, curl and mbsync against a demo
platform whose sink files spam into Inbox/Spam, over plain text, STARTTLS and implicit TLS;
hostile stored messages read every way, and the service killed while clients change mail."""

import contextlib
import functools
import imaplib
import itertools
import os
import pathlib
import re
import shutil
import socket
import ssl
import subprocess
import sys
import time
import unittest
from concurrent.futures import ThreadPoolExecutor

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import drossgate  # noqa: E402

imaplib.Commands.setdefault("MOVE", ("SELECTED",))
SPAM = b"Subject: offer\r\nX-Spam-Flag: YES\r\n\r\nbuy now\r\n"
HAM = b"Subject: hello\r\nFrom: bruno.keller@example.com\r\n\r\nhi ada\r\n"
PASSWORDS = {"ada": "ada-secret", "bruno": "bruno-secret"}
FIXTURES = pathlib.Path(__file__).parent.parent / "platform" / "fixtures"
# A quoted string as RFC 3501 allows it: 7-bit, no CR, LF or NUL, only " and \ escaped.
QUOTED = re.compile(rb'"(?:[\x01-\x09\x0b\x0c\x0e-\x21\x23-\x5b\x5d-\x7f]|\\["\\])*"')


def well_formed(response):
    """Whether an answer imaplib took apart is well-formed IMAP: literals as long as they say
    and without NUL unless they are message bytes, quoted strings as allowed, everything else
    printable ASCII in balanced parentheses."""
    for head, literal in (d for d in response if isinstance(d, tuple)):
        size = re.search(rb"(\]\S* )?\{(\d+)\}$", head)
        if len(literal) != int(size[2]) or (b"\0" in literal and not size[1]):
            return False
    text = b"".join(d[0] if isinstance(d, tuple) else d for d in response)
    rest, depth = QUOTED.sub(b"", text), 0
    for c in re.findall(rb"[()]", rest):
        depth += 1 if c == b"(" else -1
        if depth < 0:
            return False
    return depth == 0 and re.fullmatch(rb'[\x20-\x21\x23-\x7e]*', rest) is not None


class ImapService(unittest.TestCase):
    def setUp(self):
        self.platform = drossgate.Platform({"imap": {
            "cert": "cert.pem", "key": "key.pem", "max_command_line": 4096,
            "max_literal": 65536, "max_connections_per_user": 3}})
        root = self.platform.root
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                        "-keyout", root / "key.pem", "-out", root / "cert.pem", "-subj",
                        "/CN=localhost", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                       check=True, capture_output=True)
        self.tls = ssl.create_default_context(cafile=root / "cert.pem")
        self.platform.install("Inbox\\Spam\t\rX-Spam-Flag: YES\t\r1")
        for alias in PASSWORDS:
            self.platform.tool("mailbox", "passwd", alias, stdin=PASSWORDS[alias].encode())
        self.deliver(SPAM, HAM)
        self.tls_port = drossgate.free_port()
        self.service = drossgate.Service(self.platform, "imap",
                                         "--tls-listen", "127.0.0.1:%d" % self.tls_port)
        self.host, self.port = self.service.address

    def tearDown(self):
        self.service.stop()
        self.platform.close()

    def deliver(self, *messages):
        for m in messages:
            self.platform.tool("deliver", "--to", "ada", "-", stdin=m)

    def stored(self):
        return sorted(self.platform.messages("ada").values())

    def login(self, user="ada"):
        client = imaplib.IMAP4(self.host, self.port)
        client.starttls(ssl_context=self.tls)  # implicit TLS is mbsync's
        client.login(user, PASSWORDS[user])
        return client

    def fetch_all(self, client, folder):
        client.select('"%s"' % folder, readonly=True)
        typ, data = client.uid("FETCH", "1:*", "(UID BODY.PEEK[])")
        return {int(re.search(rb"UID (\d+)", d[0]).group(1)): d[1]
                for d in data if isinstance(d, tuple)}

    def folders(self, client):
        """{name: flags} of LIST "" "*"."""
        found = (re.match(rb'\((.*?)\) "/" "?(.*?)"?$', line) for line in client.list()[1])
        return {m[2].decode(): m[1].decode() for m in found}

    def test_logins(self):
        cases = [("ada", "ada-secret", "OK"), ("ada.lindqvist@example.com", "ada-secret", "OK"),
                 ("ada", "wrong", "NO"), ("bruno", "ada-secret", "NO"), ("nobody", "x", "NO"),
                 ("ada", "", "NO")]

        def attempt(case):
            client = imaplib.IMAP4(self.host, self.port)
            try:
                return client._simple_command("LOGIN", case[0], client._quote(case[1]))[0]
            finally:
                client.shutdown()

        with ThreadPoolExecutor(len(cases)) as pool:  # each failure costs its connection 2 s
            self.assertEqual(list(pool.map(attempt, cases)), [c[2] for c in cases])
        held = [self.login() for _ in range(3)]
        self.assertRaises(imaplib.IMAP4.error, self.login)  # one connection of ada's too many
        for client in held:
            client.logout()
        self.login().logout()  # given back at logout
        (self.platform.root / "passwords").chmod(0o644)  # others could read the hashes
        self.assertRaises(imaplib.IMAP4.error, self.login)
        self.assertIn("open to other users", self.service.stop())
        self.service = drossgate.Service(self.platform, "imap")

    def test_reading_every_folder_byte_for_byte(self):
        client = self.login()
        folders = self.folders(client)
        junk = [name for name, flags in folders.items() if "\\Junk" in flags]
        self.assertEqual(len(junk), 1, folders)
        for name, use in (("Sent Items", "\\Sent"), ("Deleted Items", "\\Trash"),
                          ("Drafts", "\\Drafts")):
            self.assertIn(use, folders[name])
        inbox, spam = (list(self.fetch_all(client, f).values()) for f in ("INBOX", junk[0]))
        self.assertEqual(spam, [SPAM])  # where the sink filed it
        self.assertEqual(sorted(inbox + spam), self.stored())

    def test_changes_keep_every_message_once(self):
        client = self.login()
        client.select("INBOX")
        self.assertIn(b"\\Flagged", client.store("1", "+FLAGS", "(\\Flagged)")[1][0])
        uids = [int(re.search(rb"COPYUID \d+ \d+ (\d+)", client.copy("1", "Drafts")[1][0])[1])
                for _ in range(2)]
        self.assertLess(*uids)
        client.uid("MOVE", "1:*", '"Sent Items"')
        self.assertRegex(client.response("COPYUID")[1][0], rb"\d+ \d+ \d+")
        appended = client.append('"Sent Items"', "(\\Seen)", None, b"Subject: sent\r\n\r\nx\r\n")
        self.assertRegex(appended[1][0], rb"APPENDUID \d+ \d+")
        client.select("Drafts")
        client.uid("STORE", str(uids[0]), "+FLAGS", "(\\Deleted)")
        self.assertEqual(client.expunge()[1], [b"1"])
        client.logout()
        self.assertEqual(self.stored(), sorted([SPAM, HAM, HAM, b"Subject: sent\r\n\r\nx\r\n"]))

    def test_idle_sees_a_delivery_made_elsewhere(self):
        client = self.login()
        client.select("INBOX")
        tag = client._new_tag()
        client.send(tag + b" IDLE\r\n")
        self.assertTrue(client.readline().startswith(b"+"))
        self.deliver(b"Subject: new\r\n\r\nnew\r\n")
        client.sock.settimeout(15)
        self.assertEqual(client.readline(), b"* 2 EXISTS\r\n")
        client.send(b"DONE\r\n")
        self.assertTrue(client.readline().startswith(tag + b" OK"))

    def test_hostile_names_and_input(self):
        bruno = self.platform.tool("ls", drossgate.MBX + "bruno", "--recursive")
        client = self.login()
        for name in ("..", "/x", "../bruno/Posteingang", "%", "*", '"a\\"b"', "Inbox/../..",
                     b"caf\xe9", b'"caf\xc3\xa9"'):
            for command in ("CREATE", "SELECT", "DELETE"):  # answered, NO or BAD
                with contextlib.suppress(imaplib.IMAP4.error):
                    client._simple_command(command, name)
        self.assertNotIn("Posteingang", self.folders(client))  # bruno's inbox
        self.assertEqual(self.platform.tool("ls", drossgate.MBX + "bruno", "--recursive"), bruno)
        for hostile in (b"a " + b"x" * 100000 + b"\r\n", b"b APPEND INBOX {999999}\r\n",
                        b"\0\xff\r\n" * 40):
            with socket.create_connection(self.service.address, timeout=30) as s:
                s.recv(1000)
                try:
                    s.sendall(hostile)
                    answer = s.recv(1000)
                except ConnectionError:  # closed before it had read everything
                    answer = b""
                self.assertTrue(answer == b"" or re.search(rb"BAD|NO|BYE", answer), answer)
        self.login().logout()  # the service still answers

    def test_hostile_stored_messages_are_answered_whole(self):
        files = sorted(FIXTURES.glob("*.eml")) + sorted((FIXTURES / "malformed").glob("*.eml"))
        self.deliver(*(f.read_bytes() for f in files))
        client = self.login()
        read = []
        for folder in ["INBOX"] + [n for n, f in self.folders(client).items() if "Junk" in f]:
            client.select('"%s"' % folder, readonly=True)
            for uid in client.uid("SEARCH", "ALL")[1][0].split():
                answers = {items: client.uid("FETCH", uid, items) for items in (
                    "(ENVELOPE BODYSTRUCTURE FLAGS RFC822.SIZE)", "BODY.PEEK[]",
                    "BODY.PEEK[HEADER]", "BODY.PEEK[TEXT]", "BODY.PEEK[1]", "BODY.PEEK[1.MIME]",
                    "BODY.PEEK[2]",  # in most, a part that is not there: NIL
                    "BODY.PEEK[]<0.10>", "BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)]")}
                for items, (typ, data) in answers.items():
                    self.assertEqual(typ, "OK", (uid, items))
                    self.assertTrue(well_formed(data), (uid, items, data))
                whole = answers["BODY.PEEK[]"][1][0][1]
                size = answers["(ENVELOPE BODYSTRUCTURE FLAGS RFC822.SIZE)"][1]
                self.assertIn(b"RFC822.SIZE %d)" % len(whole), size[-1], uid)
                self.assertEqual(answers["BODY.PEEK[]<0.10>"][1][0][1], whole[:10], uid)
                read.append(whole)
            for criteria in ('TEXT "hello"', 'SUBJECT "caf"', "HEADER From example",
                             'OR BODY "x" NOT HEADER Content-Type ""'):
                self.assertEqual(client.uid("SEARCH", criteria)[0], "OK", criteria)
        self.assertEqual(sorted(read), self.stored())
        client.logout()

    def test_curl_fetches_a_message(self):
        uid = min(self.fetch_all(self.login(), "INBOX"))
        out = subprocess.run(["curl", "-s", "--url", "imap://%s:%d/INBOX;UID=%d" % (
            self.host, self.port, uid), "-u", "ada:ada-secret"], capture_output=True, check=True)
        self.assertEqual(out.stdout, HAM)

    def test_mutt_reads_the_spam_folder(self):
        rc = self.platform.dir / "muttrc"
        rc.write_text('set folder="imaps://ada@localhost:%d/" imap_pass="ada-secret" '
                      'certificate_file="%s" header_cache="" message_cachedir=""\n'
                      % (self.tls_port, self.platform.root / "cert.pem"))
        tmux = ["tmux", "-L", "drossgate-imap-test-%d" % os.getpid()]
        subprocess.run(tmux + ["new-session", "-d", "-x", "100", "-y", "20",
                               "TERM=xterm mutt -n -F %s -f =INBOX/Spam" % rc], check=True)
        self.addCleanup(subprocess.run, tmux + ["kill-server"])
        for keys, shown in (([], "offer"), (["Enter"], "buy now")):  # the index, the message
            subprocess.run(tmux + ["send-keys", *keys], check=True)
            for _ in range(100):
                screen = subprocess.run(tmux + ["capture-pane", "-p"], capture_output=True,
                                        text=True).stdout
                if shown in screen:
                    break
                time.sleep(0.1)
            self.assertIn(shown, screen)

    def test_mbsync_twice(self):
        maildir = self.platform.dir / "maildir"
        maildir.mkdir()
        config = self.platform.dir / "mbsyncrc"
        config.write_text(
            "IMAPAccount a\nHost localhost\nPort %d\nUser ada\nPass ada-secret\nSSLType IMAPS\n"
            "CertificateFile %s\n\nIMAPStore far\nAccount a\n\nMaildirStore near\nPath %s/\n"
            "Inbox %s/INBOX\nSubFolders Verbatim\n\nChannel c\nFar :far:\nNear :near:\n"
            "Patterns *\nCreate Near\nExpunge Both\nSyncState *\n"
            % (self.tls_port, self.platform.root / "cert.pem", maildir, maildir))

        def sync():
            run = subprocess.run(["mbsync", "-q", "-c", config, "-a"], capture_output=True)
            self.assertEqual(run.returncode, 0, run.stderr)
            # mbsync writes LF line ends and a tracking header of its own.
            return sorted(re.sub(rb"X-TUID: .*\n", b"", p.read_bytes()).replace(b"\n", b"\r\n")
                          for p in maildir.rglob("*") if p.parent.name in ("cur", "new"))

        self.assertEqual(sync(), self.stored())
        client = self.login()
        client.select("INBOX")
        client.store("1", "+FLAGS", "(\\Deleted)")
        client.expunge()
        self.deliver(b"Subject: later\r\n\r\nlater\r\n", b"Subject: flagged\r\n\r\nf\r\n")
        client.noop()
        client.store("2", "+FLAGS", "(\\Flagged)")
        self.assertEqual(sync(), self.stored())
        flagged = [p for p in maildir.rglob("*:2,*") if "F" in p.name.rsplit(":2,", 1)[1]]
        self.assertEqual([p.read_bytes()[:16] for p in flagged], [b"Subject: flagged"])


class ImapKilled(unittest.TestCase):
    """Clients append, copy, move and expunge while deliveries arrive and the service is killed
    at random moments: each message is where the last answered command left it, or where the
    one a kill cut off would have, exactly once; UIDs stay unique and UIDVALIDITY stays."""

    def test_every_answered_change_holds_across_kills(self):
        platform = drossgate.Platform()
        self.addCleanup(platform.close)
        platform.tool("mailbox", "passwd", "ada", stdin=b"ada-secret")
        service = [drossgate.Service(platform, "imap")]
        self.addCleanup(lambda: service[0].stop())
        # What a client does to its message after the APPEND: the UID command, and the counts
        # (in INBOX, in Kept) once it is answered.
        changes = [None, (("MOVE", "Kept"), (0, 1)), (("COPY", "Kept"), (1, 1)),
                   (("EXPUNGE",), (0, 0))]
        # ident: the counts allowed, set before each command is sent.
        allowed, delivered = {}, {}

        def numbered(ident, lines):  # some large enough for a kill to cut them in transit
            return ("Message-ID: <%s@test>\r\nSubject: m %s\r\n\r\n" % (ident, ident)
                    + ("x" * 78 + "\r\n") * lines).encode()

        def login():
            client = imaplib.IMAP4(*service[0].address, timeout=10)
            client.login("ada", "ada-secret")
            client.select("INBOX")
            return client

        def client(n, stop):
            c = None
            for i in itertools.takewhile(lambda _: not stop.is_set(), itertools.count()):
                ident, change = "%d-%d" % (n, i), changes[i % 4]
                try:
                    c = c or login()
                    allowed[ident] = {(0, 0), (1, 0)}
                    typ, data = c.append("INBOX", None, None, numbered(ident, 4000 * (i % 3)))
                    if typ != "OK":
                        continue
                    allowed[ident] = {(1, 0)}
                    if not change:
                        continue
                    uid = re.search(rb"APPENDUID \d+ (\d+)", data[0])[1].decode()
                    if change[0][0] == "EXPUNGE":
                        c.uid("STORE", uid, "+FLAGS", "(\\Deleted)")
                    allowed[ident] = {(1, 0), change[1]}
                    if c.uid(change[0][0], uid, *change[0][1:])[0] == "OK":
                        allowed[ident] = {change[1]}
                except (OSError, imaplib.IMAP4.error):  # killed: a new connection next
                    c = c and c.shutdown()

        def deliver(stop):
            for i in itertools.takewhile(lambda _: not stop.is_set(), itertools.count()):
                ok = platform.run("deliver", "--to", "ada", "-", stdin=numbered("d-%d" % i, 1))
                delivered["d-%d" % i] = {(1 if ok.returncode == 0 else 0, 0)}

        first = login()
        first.create("Kept")
        validity = {f: re.search(rb"UIDVALIDITY \d+", first.status(f, "(UIDVALIDITY)")[1][0])[0]
                    for f in ("INBOX", "Kept")}
        first.logout()
        drossgate.killed_at_random(service, [deliver] + [
            functools.partial(client, n) for n in range(3)])

        found, stored = {}, {"INBOX": [], "Kept": []}
        for url, source in platform.messages("ada").items():
            folder = {"Inbox": "INBOX", "Kept": "Kept"}[url.split("/MBX/ada/")[1].split("/")[0]]
            stored[folder].append(source)
            ident = re.search(rb"Subject: m (\S+)", source)[1].decode()
            found.setdefault(ident, [0, 0])[folder == "Kept"] += 1
        for ident, counts in {**allowed, **delivered}.items():
            self.assertIn(tuple(found.pop(ident, (0, 0))), counts, ident)
        self.assertEqual(found, {})  # nothing nobody sent
        c = login()
        for folder, was in validity.items():
            status = c.status(folder, "(UIDVALIDITY UIDNEXT)")[1][0]
            self.assertIn(was, status)
            c.select(folder, readonly=True)
            data = c.uid("FETCH", "1:*", "(UID BODY.PEEK[])")[1]
            data = [d for d in data if isinstance(d, tuple)]
            uids = [int(re.search(rb"UID (\d+)", d[0])[1]) for d in data]
            self.assertEqual(len(set(uids)), len(uids), folder)
            self.assertLess(max(uids, default=0), int(re.search(rb"UIDNEXT (\d+)", status)[1]))
            self.assertEqual(sorted(d[1] for d in data), sorted(stored[folder]), folder)
        c.logout()
        self.assertGreater(len(allowed), 20)
        print("%d appended (%d cut by a kill), %d delivered" % (len(allowed), sum(
            len(a) > 1 for a in allowed.values()), len(delivered)), file=sys.stderr)


if __name__ == "__main__":
    if not shutil.which("openssl"):
        sys.exit("openssl is needed to make the test certificate")
    unittest.main()
