"""What the scripts that check logins through the private mail servers share: a check that
prints its result and counts failures, and one command through ostrel. Reads the MAIL_*
variables tests/mail/servers.sh exports."""
import os
import subprocess

env = os.environ
failures = []


def check(label, ok):
    print(("ok    " if ok else "FAIL  ") + label, flush=True)
    if not ok:
        failures.append(label)


def ostrel(line):
    """One command on ostrel's standard input (so no password is on a command line), run
    as the mail account in its work directory; the first reply line."""
    run = subprocess.run(["runuser", "-u", env["MAIL_OSTREL_USER"], "--", env["MAIL_OSTREL"]],
                         input=line + "\nquit\n", capture_output=True, text=True,
                         cwd=os.path.join(env["MAIL_DIR"], "ostrel"), timeout=60)
    lines = run.stdout.splitlines()
    return lines[0] if lines else "(no reply) " + run.stderr.strip()
