"""Helpers for tests written with Python's standard library as an independent client: a
platform root made and inspected by drossgate-platform, and a service of it run as a process.
The tool and the sink library are named by the environment (set by CTest)."""

import json
import os
import pathlib
import shutil
import signal
import subprocess
import tempfile

TOOL = os.environ.get("DROSSGATE_TOOL", "drossgate-platform")
SINK = os.environ.get("DROSSGATE_SINK", "Drossgate.so")
MBX = "file://./backofficestorage/example.com/MBX/"
EVENTS = "http://schemas.microsoft.com/exchange/events/"


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
        system = [m for m in self.mailboxes() if m.startswith("SystemMailbox")][0]
        url = MBX + system + "/StoreEvents/GlobalEvents/Drossgate.reg"
        self.tool("set", url, "--create", "item", "--prop",
                  "DAV:contentclass=urn:content-class:storeeventreg",
                  "--prop", EVENTS + "EventMethod=onsyncsave",
                  "--prop", EVENTS + "SinkClass=Drossgate.DrossgateCls",
                  "--prop", EVENTS + "MatchScope=ANY",
                  "--prop", EVENTS + 'criteria= WHERE "DAV:ishidden" = FALSE',
                  "--prop", EVENTS + "priority=65535", "--prop", "DAV:ishidden:bool=true")

    def mailboxes(self):
        return [i["name"] for i in json.loads(self.tool("ls", MBX.rstrip("/"), "--json"))]

    def messages(self, alias):
        """{url: source} of every message below a mailbox, hidden ones included."""
        items = json.loads(self.tool("ls", MBX + alias, "--recursive", "--json"))
        return {i["url"]: self.tool("cat", i["url"]) for i in items
                if not i["folder"] and i["contentclass"] == "urn:content-classes:message"}


class Service:
    """drossgate-platform SUBCOMMAND --listen 127.0.0.1:0 ...; address is (host, port)."""

    def __init__(self, platform, subcommand, *args):
        self.process = subprocess.Popen(
            [TOOL, "--root", str(platform.root), subcommand, "--listen", "127.0.0.1:0", *args],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        line = self.process.stderr.readline().decode()
        if " listening on " not in line:
            self.process.kill()
            raise AssertionError("the service did not start: " + line)
        host, port = line.strip().rsplit(" ", 1)[1].rsplit(":", 1)
        self.address = (host, int(port))

    def stop(self):
        """Ends it as an administrator would; returns what it wrote on stderr after starting."""
        self.process.send_signal(signal.SIGTERM)
        return self.process.communicate(timeout=60)[1].decode()

    def kill(self):
        self.process.kill()
        self.process.communicate()
