"""The LMTP service against an established LMTP store with the same rules, in one run (see
peer.sh, which installs the peers and calls this): the bench corpus through this platform's
LMTP service with the sink and its four rules, and through Dovecot's LMTP with the same rules
as a Sieve script run before the user's, each directly and behind Postfix, at 1, 4 and 16
concurrent sessions. Prints one table; exits 1 when a message is not accounted for.

    python3 bench/peer.py BUILD_DIR        (needs root)

MESSAGES=N shortens the corpus; SESSIONS="4" and PATHS="direct" run only those cases.
"""

import json
import multiprocessing
import os
import pathlib
import re
import shutil
import signal
import smtplib
import socket
import statistics
import subprocess
import sys
import tempfile
import time

BUILD = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/default").resolve()
os.environ.setdefault("DROSSGATE_TOOL", str(BUILD / "tools" / "drossgate-platform"))
os.environ.setdefault("DROSSGATE_SINK", str(BUILD / "sink" / "Drossgate.so"))
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests" / "support"))
import drossgate  # noqa: E402  (the tests' helpers: the tool, a private Postfix)

MESSAGES = int(os.environ.get("MESSAGES", "10000"))
SESSIONS = [int(n) for n in os.environ.get("SESSIONS", "1 4 16").split()]
PATHS = os.environ.get("PATHS", "direct Postfix").split()
RECIPIENT = "filtered@example.com"
SENDER = "sender@outside.example"
# The bench's four rules: move, delete, forward, set SCL; kinds of message as in bench_sink.
RULES = ("Inbox\\Spam\t[Null]\tDesk <desk@example.com>\t+9\t\r"
         "X-Spam-Flag: YES\tIMFSCL: {> 7}\tSubject: [SPAM]\tX-Absent: 1\t\r65535")
SIEVE = """require ["fileinto", "mailbox", "relational", "comparator-i;ascii-numeric", "editheader"];
if header :is "X-Spam-Flag" "YES" { fileinto :create "Spam"; stop; }
if header :value "gt" :comparator "i;ascii-numeric" "X-SCL" "7" { discard; stop; }
if header :contains "Subject" "[SPAM]" { redirect "desk@example.com"; stop; }
if header :is "X-Absent" "1" { addheader "X-SCL" "9"; }
"""


def kind(i):
    k = i % 12
    return "moved" if k < 4 else "forwarded" if k == 4 else "deleted" if k == 5 else "kept"


def message(i):
    """Message i of the corpus: about 2 KB, 20 header lines; the scanner's score in X-SCL."""
    k = i % 12
    h = "Received: from relay%d.example.net by mail1\r\n" % (i * 7919 % 50)
    h += "".join("X-Filler-%d: value %d\r\n" % (n, (i * 31 + n) * 2654435761 % 4294967296)
                 for n in range(14))
    h += "From: Sender %d <sender%d@example.net>\r\nTo: bench@example.com\r\n" % (i, i)
    h += "X-Spam-Flag: %s\r\n" % ("YES" if k < 4 else "NO")
    h += "Subject: %s%d\r\n" % ("[SPAM] offer " if k == 4 else "report ", i)
    if k == 5:
        h += "X-SCL: 8\r\n"
    h += "Message-ID: <%d@example.net>\r\n\r\n" % i
    return (h + ("x" * 73 + "\r\n") * 20).encode()


def expected():
    counts = {"moved": 0, "forwarded": 0, "deleted": 0, "kept": 0}
    for i in range(MESSAGES):
        counts[kind(i)] += 1
    return counts


# --- an LMTP client of its own: one process per session, so the client is never the limit ---

def reply(stream):
    lines = []
    while True:
        line = stream.readline()
        if not line:
            raise ConnectionError("the server closed the connection")
        lines.append(line)
        if line[3:4] != b"-":
            return lines[0][:3], b"".join(lines)


def lmtp_session(address, indexes, results):
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    sock.connect(address)
    stream = sock.makefile("rb")
    reply(stream)
    sock.sendall(b"LHLO bench.example\r\n")
    reply(stream)
    envelope = ("MAIL FROM:<%s>\r\nRCPT TO:<%s>\r\nDATA\r\n" % (SENDER, RECIPIENT)).encode()
    latencies, accepted = [], 0
    for i in indexes:
        body = message(i)  # no line of the corpus begins with a dot
        start = time.perf_counter()
        sock.sendall(envelope)  # pipelined, as the server announces
        codes = [reply(stream)[0] for _ in range(3)]
        if codes != [b"250", b"250", b"354"]:
            raise RuntimeError("message %d refused: %s" % (i, codes))
        sock.sendall(body + b".\r\n")
        code, _ = reply(stream)
        latencies.append(time.perf_counter() - start)
        accepted += code == b"250"
    sock.sendall(b"QUIT\r\n")
    sock.close()
    results.put((latencies, accepted))


def smtp_session(port, indexes, results):
    with smtplib.SMTP("127.0.0.1", port) as client:
        for i in indexes:
            client.sendmail(SENDER, [RECIPIENT], message(i))
    results.put(([], len(indexes)))


def run_sessions(target, address, sessions):
    """Sends the corpus over sessions processes; returns (seconds, latencies, accepted)."""
    results = multiprocessing.Queue()
    workers = [multiprocessing.Process(target=target,
                                       args=(address, range(s, MESSAGES, sessions), results))
               for s in range(sessions)]
    start = time.perf_counter()
    for w in workers:
        w.start()
    latencies, accepted = [], 0
    for _ in workers:
        lat, acc = results.get()
        latencies += lat
        accepted += acc
    for w in workers:
        w.join()
    return time.perf_counter() - start, latencies, accepted


# --- the two stores, each a private instance in a folder of its own ---

class Ours:
    name = "Drossgate LMTP + sink"

    def __init__(self, work):
        self.dir = work / "drossgate"
        self.dir.mkdir()
        self.root = self.dir / "root"
        self.socket = self.dir / "lmtp.sock"
        self.tool("init", "--domain", "example.com")
        self.tool("mailbox", "add", "filtered", "--address", RECIPIENT)
        self.tool("mailbox", "add", "desk", "--address", "desk@example.com")
        (self.dir / "rules").write_text(RULES)
        self.tool("catalog", "install", "--app", "Drossgate", "--dll", drossgate.SINK,
                  "--constructor-string-file", str(self.dir / "rules"))
        ev = drossgate.EVENTS
        self.tool("set", drossgate.MBX + "filtered/Inbox/Drossgate.reg", "--create", "item",
                  "--prop", "DAV:contentclass=urn:content-class:storeeventreg",
                  "--prop", ev + "EventMethod=onsyncsave",
                  "--prop", ev + "SinkClass=Drossgate.DrossgateCls",
                  "--prop", ev + "MatchScope=SHALLOW",
                  "--prop", ev + 'criteria= WHERE "DAV:ishidden" = FALSE',
                  "--prop", ev + "priority=65535", "--prop", "DAV:ishidden:bool=true")
        machine = json.loads((self.root / "machine.json").read_text())
        machine["lmtp"] = {"scl_from_header": "X-SCL", "max_sessions": 100}
        (self.root / "machine.json").write_text(json.dumps(machine))
        self.process = subprocess.Popen(
            [drossgate.TOOL, "--root", str(self.root), "lmtp", "--listen",
             "unix:%s" % self.socket, "--socket-mode", "0666"],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        line = self.process.stderr.readline().decode()
        if "listening on" not in line:
            raise RuntimeError("the LMTP service did not start: " + line)
        self.commits = None

    def tool(self, *args):
        subprocess.run([drossgate.TOOL, "--root", str(self.root), *args], check=True,
                       stdout=subprocess.DEVNULL)

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        said = self.process.stderr.read().decode()
        self.process.wait()
        m = re.search(r"lmtp: (\d+) deliveries in (\d+) store commits", said)
        self.commits = (int(m.group(1)), int(m.group(2))) if m else None

    def account(self):
        def ls(url):
            out = subprocess.run([drossgate.TOOL, "--root", str(self.root), "ls", url, "--json"],
                                 check=True, capture_output=True).stdout
            return json.loads(out)
        inbox = ls(drossgate.MBX + "filtered/Inbox")
        root = ls(drossgate.MBX + "filtered")
        return {"kept": sum(1 for i in inbox if not i["folder"] and not i["hidden"]),
                "moved": sum(1 for i in ls(drossgate.MBX + "filtered/Inbox/Spam")
                             if not i["folder"]),
                # A forward stays parked, hidden, until the pickup service hands it on.
                "forwarded": sum(1 for i in root if i["name"].endswith("~~redirect.eml")),
                "left": sum(1 for i in root if i["name"].endswith("~~deleteit.eml"))}


class Dovecot:
    name = "Dovecot LMTP + Sieve"

    def __init__(self, work):
        self.dir = work / "dovecot"
        for sub in ("run", "state", "mail", "out"):
            (self.dir / sub).mkdir(parents=True)
        for sub in ("mail", "out"):
            shutil.chown(self.dir / sub, "nobody", "nogroup")
        self.socket = self.dir / "lmtp.sock"
        (self.dir / "rules.sieve").write_text(SIEVE)
        # Sieve's redirect goes to a sendmail that writes one file per message, as the sink
        # writes a pickup file.
        sendmail = self.dir / "sendmail.sh"
        sendmail.write_text('#!/bin/sh\ncat > "%s/out/$(date +%%s%%N).$$.eml"\n' % self.dir)
        sendmail.chmod(0o755)
        d = self.dir
        (d / "dovecot.conf").write_text("\n".join([
            "base_dir = %s/run" % d, "state_dir = %s/state" % d,
            "log_path = %s/dovecot.log" % d, "protocols = lmtp", "listen = 127.0.0.1",
            "ssl = no", "mail_location = maildir:~/Maildir",
            "first_valid_uid = 1", "last_valid_uid = 0",
            "default_internal_user = dovecot", "default_login_user = dovenull",
            "passdb {\n  driver = static\n  args = nopassword=y\n}",
            "userdb {\n  driver = static\n  args = uid=nobody gid=nogroup home=%s/mail/%%n"
            " allow_all_users=yes\n}" % d,
            "service lmtp {\n  unix_listener %s {\n    mode = 0666\n  }\n}" % self.socket,
            "service anvil {\n  chroot =\n}", "sendmail_path = %s" % sendmail,
            "protocol lmtp {\n  mail_plugins = sieve\n}",
            "plugin {\n  sieve_before = %s/rules.sieve\n  sieve_extensions = +editheader\n}" % d,
            ""]))
        subprocess.run(["sievec", "-c", str(d / "dovecot.conf"), str(d / "rules.sieve")],
                       check=True)
        subprocess.run(["dovecot", "-c", str(d / "dovecot.conf")], check=True)
        for _ in range(100):
            if self.socket.exists():
                break
            time.sleep(0.05)
        self.commits = None

    def stop(self):
        pid = int((self.dir / "run" / "master.pid").read_text())
        os.kill(pid, signal.SIGTERM)
        for _ in range(200):
            try:
                os.kill(pid, 0)
            except ProcessLookupError:
                return
            time.sleep(0.05)

    def account(self):
        def count(folder):
            return sum(len(os.listdir(folder / sub)) for sub in ("new", "cur")
                       if (folder / sub).is_dir())
        maildir = self.dir / "mail" / "filtered" / "Maildir"
        return {"kept": count(maildir), "moved": count(maildir / ".Spam"),
                "forwarded": len(os.listdir(self.dir / "out")), "left": 0}


def behind_postfix(store, work, sessions):
    """Postfix in front of store: sessions SMTP clients into it, as many LMTP connections out.
    Returns (seconds, per-message delays from Postfix's log, accepted)."""
    postfix = drossgate.PrivatePostfix("lmtp:unix:%s" % store.socket)
    try:
        conf = postfix.dir / "conf" / "main.cf"
        conf.write_text(conf.read_text() + "\n".join([
            "lmtp_destination_concurrency_limit = %d" % sessions,
            "lmtp_initial_destination_concurrency = %d" % sessions, ""]))
        postfix.postfix("reload")
        time.sleep(1)
        start = time.perf_counter()
        _, _, accepted = run_sessions(smtp_session, postfix.port, sessions)
        delays = []
        while True:
            delays = [float(m) for m in re.findall(
                r"postfix/lmtp\[\d+\]: \w+: to=<[^>]*>, relay=.*? delay=([\d.]+),.* status=sent",
                postfix.log_text())]
            bounced = postfix.log_text().count("status=bounced")
            if len(delays) + bounced >= MESSAGES or time.perf_counter() - start > 1800:
                break
            time.sleep(0.2)
        return time.perf_counter() - start, delays, len(delays)
    finally:
        postfix.close()


def percentile(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def main():
    if os.geteuid() != 0:
        sys.exit("peer.py: needs root (private Postfix and Dovecot instances)")
    want = expected()
    rows, faults = [], 0
    for path in PATHS:
        for sessions in SESSIONS:
            for Store in (Ours, Dovecot):
                work = pathlib.Path(tempfile.mkdtemp(prefix="drossgate-peer-"))
                work.chmod(0o755)  # the peers' daemons reach their sockets as other users
                store = Store(work)
                try:
                    print("== %s, %s, %d session(s)" % (Store.name, path, sessions),
                          file=sys.stderr)
                    if path == "direct":
                        seconds, latencies, accepted = run_sessions(lmtp_session,
                                                                    str(store.socket), sessions)
                    else:
                        seconds, latencies, accepted = behind_postfix(store, work, sessions)
                finally:
                    store.stop()
                got = store.account()
                ok = accepted == MESSAGES and got["left"] == 0 and all(
                    got[k] == want[k] for k in ("kept", "moved", "forwarded"))
                faults += not ok
                per_sync = ("%.1f" % (store.commits[0] / store.commits[1])
                            if store.commits and store.commits[1] else "")
                rows.append((Store.name, path, sessions, MESSAGES / seconds,
                             percentile(latencies, 50) * 1000, percentile(latencies, 99) * 1000,
                             per_sync, "yes" if ok else "NO: %s of %s" % (got, want)))
                shutil.rmtree(work, ignore_errors=True)

    rate = {(r[0], r[1], r[2]): r[3] for r in rows}
    print()
    print("LMTP peers, %s, %d CPUs (%s), %d messages per run" % (
        time.strftime("%Y-%m-%d"), os.cpu_count(), cpu_model(), MESSAGES))
    print()
    print("| %-22s | %-7s | %8s | %9s | %9s | %9s | %9s | %-9s |" % (
        "Store", "Path", "Sessions", "msgs/s", "p50 ms", "p99 ms", "msgs/sync", "Accounted"))
    print("|%s|" % "|".join("-" * n for n in (24, 9, 10, 11, 11, 11, 11, 11)))
    for r in rows:
        print("| %-22s | %-7s | %8d | %9.0f | %9.1f | %9.1f | %9s | %-9s |" % r)
    print()
    ours, theirs = Ours.name, Dovecot.name
    checks = [("direct", 4, "direct, 4 sessions: ours / Dovecot", 3.0),
              ("Postfix", 4, "behind Postfix, 4 sessions: ours / Dovecot", 1.0)]
    for path, sessions, label, target in checks:
        if (ours, path, sessions) in rate:
            value = rate[(ours, path, sessions)] / rate[(theirs, path, sessions)]
            print("%-46s %5.2fx (target >= %.0fx: %s)" % (
                label, value, target, "met" if value >= target else "missed"))
    for r in rows:
        if r[0] == ours and r[1] == "direct" and r[2] == 16:
            print("%-46s %5s   (target >= 2: %s)" % (
                "direct, 16 sessions: messages per store sync", r[6],
                "met" if r[6] and float(r[6]) >= 2 else "missed"))
    return 1 if faults else 0


def cpu_model():
    for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
        if line.startswith("model name"):
            return line.split(":", 1)[1].strip()
    return "unknown CPU"


if __name__ == "__main__":
    sys.exit(main())
