"""Helpers for tests written with Python's standard library as an independent client: a
platform root made and inspected by drossgate-platform, and a service of it run as a process.
The tool and the sink library are named by the environment (set by CTest)."""

import json
import os
import pathlib
import random
import shutil
import signal
import smtplib
import socket
import subprocess
import tempfile
import threading
import time

TOOL = os.environ.get("DROSSGATE_TOOL", "drossgate-platform")
SINK = os.environ.get("DROSSGATE_SINK", "Drossgate.so")
MBX = "file://./backofficestorage/example.com/MBX/"
EVENTS = "http://schemas.microsoft.com/exchange/events/"
ADA = "ada.lindqvist@example.com"  # a mailbox of the demo platform


class Platform:
    """A demo platform root in a temporary folder, removed by close()."""

    def __init__(self, settings=None):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="drossgate-py-"))
        self.root = self.dir / "root"
        self.tool("init", "--demo")
        if settings:
            machine = json.loads((self.root / "machine.json").read_text())
            machine.update(settings)
            (self.root / "machine.json").write_text(json.dumps(machine))

    def close(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def run(self, *args, stdin=None):
        return subprocess.run([TOOL, "--root", str(self.root), *args], input=stdin,
                              capture_output=True)

    def tool(self, *args, stdin=None):
        result = self.run(*args, stdin=stdin)
        if result.returncode != 0:
            raise AssertionError("drossgate-platform %s: %s" % (args[0], result.stderr.decode()))
        return result.stdout

    def install(self, rules):
        """Installs the sink with rules (a constructor string) and registers it store-wide."""
        (self.dir / "rules").write_bytes(rules.encode())
        self.tool("catalog", "install", "--app", "Drossgate", "--dll", SINK,
                  "--constructor-string-file", str(self.dir / "rules"))
        mailboxes = json.loads(self.tool("ls", MBX.rstrip("/"), "--json"))
        system = [m["name"] for m in mailboxes if m["name"].startswith("SystemMailbox")][0]
        url = MBX + system + "/StoreEvents/GlobalEvents/Drossgate.reg"
        self.tool("set", url, "--create", "item", "--prop",
                  "DAV:contentclass=urn:content-class:storeeventreg",
                  "--prop", EVENTS + "EventMethod=onsyncsave",
                  "--prop", EVENTS + "SinkClass=Drossgate.DrossgateCls",
                  "--prop", EVENTS + "MatchScope=ANY",
                  "--prop", EVENTS + 'criteria= WHERE "DAV:ishidden" = FALSE',
                  "--prop", EVENTS + "priority=65535", "--prop", "DAV:ishidden:bool=true")

    def messages(self, alias):
        """{url: source} of every message below a mailbox, hidden ones included."""
        items = json.loads(self.tool("ls", MBX + alias, "--recursive", "--json"))
        return {i["url"]: self.tool("cat", i["url"]) for i in items
                if not i["folder"] and i["contentclass"] == "urn:content-classes:message"}


class Service:
    """drossgate-platform SUBCOMMAND --listen LISTEN ...; address is (host, port)."""

    def __init__(self, platform, subcommand, *args, listen="127.0.0.1:0"):
        self.again = lambda: Service(platform, subcommand, *args, listen=listen)
        self.process = subprocess.Popen(
            [TOOL, "--root", str(platform.root), subcommand, "--listen", listen, *args],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        line = self.process.stderr.readline().decode()
        if " listening on " not in line:
            self.process.kill()
            raise AssertionError("the service did not start: " + line)
        host, port = line.strip().rsplit(" ", 1)[1].rsplit(":", 1)
        self.address = (host, int(port))
        # What it says from now on is read as it comes, so that it never waits on a full pipe.
        self.said = []
        self.reader = threading.Thread(target=lambda: self.said.extend(self.process.stderr))
        self.reader.start()

    def stop(self):
        """Ends it as an administrator would; returns what it wrote on stderr after starting."""
        self.process.send_signal(signal.SIGTERM)
        self.process.wait(timeout=60)
        self.reader.join()
        return b"".join(self.said).decode()

    def kill(self):
        self.process.kill()
        self.process.wait()
        self.reader.join()


def killed_at_random(service, workers, kills=6):
    """Runs workers (each a function of an Event, to return once it is set) while the service
    in the list service is killed at random moments, kills times, each time started anew."""
    stop = threading.Event()
    threads = [threading.Thread(target=work, args=(stop,)) for work in workers]
    for t in threads:
        t.start()
    for _ in range(kills):
        time.sleep(random.uniform(0.2, 0.8))
        service[0].kill()
        service[0] = service[0].again()
    time.sleep(0.5)
    stop.set()
    for t in threads:
        t.join()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class PrivatePostfix:
    """A Postfix of its own in a temporary folder: its configuration, queue and log there, SMTP
    on a loopback port, never the machine's own instance. transport is what mail for
    example.com goes to, a master.cf entry extra may define. Needs root."""

    def __init__(self, transport, extra=""):
        self.dir = pathlib.Path(tempfile.mkdtemp(prefix="drossgate-postfix-"))
        self.dir.chmod(0o755)  # its daemons run as the postfix user
        conf, self.log = self.dir / "conf", self.dir / "postfix.log"
        for sub in ("conf", "queue", "data"):
            (self.dir / sub).mkdir()
        shutil.chown(self.dir / "data", "postfix")
        self.port = free_port()
        (conf / "main.cf").write_text("\n".join([
            "compatibility_level = 3.6",
            "queue_directory = %s/queue" % self.dir, "data_directory = %s/data" % self.dir,
            "maillog_file = %s" % self.log, "maillog_file_prefixes = %s" % self.dir,
            "inet_interfaces = 127.0.0.1", "inet_protocols = ipv4",
            "myhostname = mx.test.example", "mydestination =", "relay_domains =",
            "mynetworks = 127.0.0.0/8", "alias_maps =", "alias_database =",
            "virtual_mailbox_domains = example.com", "virtual_transport = " + transport,
            # Nothing leaves: bounces to outside senders are dropped, with no DNS asked.
            "default_transport = discard", "smtpd_recipient_restrictions = permit_mynetworks,"
            " reject_unauth_destination", "drossgate_destination_recipient_limit = 1", ""]))
        master = []
        for line in pathlib.Path("/etc/postfix/master.cf").read_text().splitlines():
            fields = line.split()
            if fields[:2] == ["smtp", "inet"]:
                line = "127.0.0.1:%d inet n - n - - smtpd" % self.port
            elif len(fields) >= 8 and not line[0].isspace() and fields[4] == "y":
                fields[4] = "n"  # no chroot: it would need a copy of the system files
                line = " ".join(fields)
            master.append(line)
        (conf / "master.cf").write_text("\n".join(master) + "\n" + extra + "\n")
        self.postfix("start")

    def postfix(self, *args):
        result = subprocess.run(["postfix", "-c", str(self.dir / "conf"), *args],
                                capture_output=True)
        if result.returncode != 0:
            raise AssertionError("postfix %s: %s %s" % (args, result.stderr.decode(),
                                                      self.log_text()))

    def log_text(self):
        return self.log.read_text() if self.log.exists() else ""

    def send(self, recipients, message, sender="sender@outside.example"):
        with smtplib.SMTP("127.0.0.1", self.port) as client:
            return client.sendmail(sender, recipients, message)

    def wait_for(self, text, timeout=30):
        """Waits until the log holds text; returns the log."""
        end = time.time() + timeout
        while time.time() < end:
            log = self.log_text()
            if text in log:
                return log
            time.sleep(0.1)
        raise AssertionError("no %r in the Postfix log:\n%s" % (text, self.log_text()))

    def close(self):
        subprocess.run(["postfix", "-c", str(self.dir / "conf"), "stop"], capture_output=True)
        shutil.rmtree(self.dir, ignore_errors=True)
