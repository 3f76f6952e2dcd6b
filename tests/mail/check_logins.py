#!/usr/bin/env python3
"""Logins through the real Dovecot (POP3, IMAP) and Postfix (SMTP AUTH) on Ostrel's
accounts, changed with ostrel between the logins. Run by .ci/mail-servers after
tests/mail/servers.sh started the servers; reads the MAIL_* variables it exports.
Prints one line per check and exits 1 when any failed."""

import imaplib
import os
import poplib
import smtplib
import ssl
import subprocess
import sys

env = os.environ
DIR = env["MAIL_DIR"]
HOMES = os.path.join(DIR, "mail")
failures = []


def check(label, ok):
    print(("ok    " if ok else "FAIL  ") + label, flush=True)
    if not ok:
        failures.append(label)


def ostrel(line):
    """One command on ostrel's standard input (so no password is on a command line), run
    as the mail account in its work directory; the last reply line."""
    run = subprocess.run(["runuser", "-u", "nobody", "--", env["MAIL_OSTREL"]],
                         input=line + "\nquit\n", capture_output=True, text=True,
                         cwd=os.path.join(DIR, "ostrel"), timeout=60)
    lines = run.stdout.splitlines()
    return lines[0] if lines else "(no reply) " + run.stderr.strip()


def pop3(user, password):
    try:
        client = poplib.POP3("127.0.0.1", int(env["MAIL_POP3_PORT"]), timeout=30)
    except OSError as error:
        return "no connection: %s" % error
    try:
        client.user(user)
        client.pass_(password)
        client.quit()
        return True
    except poplib.error_proto:
        return False
    finally:
        client.close()


def imap(user, password):
    try:
        with imaplib.IMAP4("127.0.0.1", int(env["MAIL_IMAP_PORT"]), timeout=30) as client:
            client.login(user, password)
            client.logout()
            return True
    except imaplib.IMAP4.error:
        return False


def smtp(user, password):
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE  # the stage's throwaway certificate
    with smtplib.SMTP("127.0.0.1", int(env["MAIL_SMTP_PORT"]), timeout=30) as client:
        client.starttls(context=context)
        try:
            client.login(user, password)  # AUTH PLAIN
            return True
        except smtplib.SMTPAuthenticationError:
            return False


def home_of(user):
    """The home directory Dovecot's userdb gives, or None for an unknown user."""
    run = subprocess.run(["doveadm", "-c", os.path.join(DIR, "dovecot", "dovecot.conf"),
                          "user", "-f", "home", user], capture_output=True, text=True)
    return run.stdout.strip() if run.returncode == 0 else None


def logins(label, user, password, expected):
    for name, login in (("POP3", pop3), ("IMAP", imap), ("SMTP AUTH", smtp)):
        got = login(user, password)
        check("%s: %s login of %s %s" % (label, name, user,
                                         "accepted" if expected else "refused"),
              got is expected)


def main():
    backend = env["MAIL_BACKEND"]
    home = os.path.join(HOMES, "alice")
    check("set alice", ostrel("set alice Old#pass1 home=%s" % home).startswith("+OK"))
    logins(backend, "alice", "Old#pass1", True)
    logins(backend, "ALICE", "Old#pass1", True)
    logins(backend, "alice", "wrong#pass", False)
    logins(backend, "nobody-here", "Old#pass1", False)
    check("%s: doveadm user alice gives the home" % backend, home_of("alice") == home)

    # A set with a password makes the account anew: its home is given again.
    check("new password", ostrel("set alice New#pass2 home=%s" % home).startswith("+OK"))
    logins(backend + " after a new password", "alice", "Old#pass1", False)
    logins(backend + " after a new password", "alice", "New#pass2", True)
    moved = os.path.join(HOMES, "alice-moved")
    check("new home", ostrel("set alice (NULL) home=%s" % moved).startswith("+OK"))
    check("%s: doveadm user alice gives the new home" % backend, home_of("alice") == moved)
    logins(backend + " after the new home", "alice", "New#pass2", True)
    check("del alice", ostrel("del alice").startswith("+OK"))
    logins(backend + " after del", "alice", "New#pass2", False)
    check("%s: doveadm user alice after del" % backend, home_of("alice") is None)

    address = "alice.smith@example.org"
    address_home = os.path.join(HOMES, address)
    check("set " + address,
          ostrel("set %s Mail#pass3 home=%s" % (address, address_home)).startswith("+OK"))
    logins(backend + " mail address", address, "Mail#pass3", True)
    logins(backend + " mail address", "Alice.Smith@Example.ORG", "Mail#pass3", True)
    logins(backend + " mail address", address, "Old#pass1", False)
    check("%s: doveadm user %s" % (backend, address), home_of(address) == address_home)
    check("del " + address, ostrel("del " + address).startswith("+OK"))

    if failures:
        print("%d checks failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
