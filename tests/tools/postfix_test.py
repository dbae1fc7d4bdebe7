"""The store behind a real Postfix, in a private instance: over LMTP and through the pipe
transport into deliver. Mail arrives filtered by the sink; an unknown mailbox bounces with
5.1.1; a store that cannot take mail makes Postfix defer, not bounce, and the mail arrives
once the store is back."""

import os
import re
import shutil
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "support"))
import drossgate  # noqa: E402

ADA = drossgate.ADA
RULES = "Junk\t\rX-Spam-Flag: YES\t\r1"
SPAM = b"Subject: offer\r\nX-Spam-Flag: YES\r\n\r\nbuy\r\n"
HAM = b"Subject: lunch\r\n\r\nat noon?\r\n"


@unittest.skipUnless(os.geteuid() == 0 and shutil.which("postfix"), "needs root and Postfix")
class BehindPostfix(unittest.TestCase):
    def setUp(self):
        self.platform = drossgate.Platform()
        self.platform.install(RULES)

    def tearDown(self):
        self.postfix.close()
        self.platform.close()

    def folders(self):
        """Where each of ada's messages is: {subject line: folder}."""
        found = {}
        for url, source in self.platform.messages("ada").items():
            subject = re.search(rb"^Subject: [^\r\n]*", source, re.MULTILINE).group(0)
            found[subject] = url.split("/MBX/ada/", 1)[1].rsplit("/", 1)[0]
        return found

    def check_the_road(self, make_unavailable, make_available):
        self.postfix.send([ADA, "nobody@example.com"], SPAM)
        self.postfix.wait_for("to=<%s>" % ADA)
        log = self.postfix.wait_for("to=<nobody@example.com>")
        self.assertIn("dsn=5.1.1, status=bounced", log)
        self.assertEqual(self.folders(), {b"Subject: offer": "Junk"})

        make_unavailable()
        self.postfix.send([ADA], HAM)
        log = self.postfix.wait_for("status=deferred")
        self.assertNotIn("dsn=5.", log.split("status=deferred")[0].rsplit("\n", 1)[-1])
        make_available()
        for _ in range(60):  # asked again now and then: a flush may meet the message in transit
            self.postfix.postfix("flush")
            if len(self.folders()) == 2:
                break
            drossgate.time.sleep(1)
        self.assertEqual(self.folders(), {b"Subject: offer": "Junk", b"Subject: lunch": "Inbox"})

    def test_over_lmtp(self):
        service = [drossgate.Service(self.platform, "lmtp")]
        listen = "%s:%d" % service[0].address
        self.postfix = drossgate.PrivatePostfix("lmtp:inet:" + listen)

        def restart():
            service[0] = drossgate.Service(self.platform, "lmtp", listen=listen)

        self.check_the_road(lambda: service[0].stop(), restart)
        service[0].stop()

    def test_through_the_pipe_transport(self):
        # Postfix runs its delivery agents as an ordinary user: the platform is that user's.
        self.platform.dir.chmod(0o755)
        subprocess = drossgate.subprocess
        subprocess.run(["chown", "-R", "nobody:nogroup", str(self.platform.root)], check=True)
        store, away = self.platform.root / "store.db", self.platform.root / "store.db.away"
        self.postfix = drossgate.PrivatePostfix(
            "drossgate", "drossgate unix - n n - - pipe flags=R user=nobody argv=%s --root %s "
            "deliver -f ${sender} --to ${recipient} -" % (drossgate.TOOL, self.platform.root))
        self.check_the_road(lambda: store.rename(away), lambda: away.rename(store))


if __name__ == "__main__":
    unittest.main()
