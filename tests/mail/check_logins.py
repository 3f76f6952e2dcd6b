#!/usr/bin/env python3
"""Logins through the real Dovecot (POP3, IMAP) and Postfix (SMTP AUTH) on Ostrel's
accounts, changed with ostrel between the logins; every password is checked by
pam_ostrel.so. Also: a message delivered through Postfix and Dovecot's LMTP and read back,
an unknown recipient refused at RCPT TO, the lockout shared with ostrel's check, each
login in Ostrel's log and an unreadable store. Run by .ci/mail-servers after
tests/mail/servers.sh started the servers; reads the MAIL_* variables it exports.
Prints one line per check and exits 1 when any failed."""

import imaplib
import os
import poplib
import re
import smtplib
import ssl
import subprocess
import sys
import time

from mail_checks import check, failures, ostrel

env = os.environ
DIR = env["MAIL_DIR"]
HOMES = os.path.join(DIR, "mail")


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


def send_message(recipient):
    """Sends a message from outside, as a peer MX would; the RCPT TO answer's code once
    the recipient's check is done (450 while it is in progress)."""
    for _ in range(20):
        with smtplib.SMTP("127.0.0.1", int(env["MAIL_SMTP_PORT"]), timeout=60) as client:
            client.ehlo("peer.ostrel.test")
            client.mail("sender@peer.ostrel.test")
            code, _ = client.rcpt(recipient)
            if code == 250:
                client.data("Subject: ostrel-ci\r\n\r\nDelivered through LMTP.\r\n")
            if code != 450:
                return code
        time.sleep(0.5)
    return 450


def imap_finds(user, password, text):
    """True when a message holding text arrives in the INBOX within 30 seconds."""
    for _ in range(60):
        with imaplib.IMAP4("127.0.0.1", int(env["MAIL_IMAP_PORT"]), timeout=30) as client:
            client.login(user, password)
            client.select("INBOX")
            _, found = client.search(None, "TEXT", text)
            client.logout()
            if found and found[0]:
                return True
        time.sleep(0.5)
    return False


def ostrel_log():
    with open(os.path.join(DIR, "ostrel", "ostrel.log"), errors="replace") as log:
        return log.read()


def shared_lockout(backend):
    """With lockout_threshold 3, wrong passwords through Dovecot and through ostrel's
    check count together and lock the account for both; set (NULL) unlocks it."""
    with open(os.path.join(DIR, "ostrel", "ostrel.ini"), "a") as ini:
        ini.write("lockout_threshold 3\n")
    check("set carol", ostrel("set carol Carol#pw1 home=%s" % os.path.join(HOMES, "carol"))
          .startswith("+OK"))
    check("%s: POP3 wrong password of carol" % backend, pop3("carol", "guess#1") is False)
    check("%s: IMAP wrong password of carol" % backend, imap("carol", "guess#2") is False)
    check("%s: ostrel check wrong password of carol" % backend,
          "password incorrect" in ostrel("check carol guess#3"))
    check("%s: ostrel check of locked carol" % backend,
          ostrel("check carol Carol#pw1") == "-ERR 1909:Unknown error has occurred.")
    logins(backend + " locked", "carol", "Carol#pw1", False)
    check("unlock carol", ostrel("set carol (NULL)").startswith("+OK"))
    logins(backend + " unlocked", "carol", "Carol#pw1", True)
    check("%s: ostrel check of unlocked carol" % backend,
          ostrel("check carol Carol#pw1").startswith("+OK"))


def unreadable_store(backend):
    """A store the auth worker cannot read: no login succeeds and the log says so."""
    store = os.path.join(DIR, "store", "ostrel.db")
    os.chmod(store, 0)
    try:
        check("%s: POP3 login with the store unreadable refused" % backend,
              pop3("carol", "Carol#pw1") is False)
        check("%s: SMTP AUTH with the store unreadable refused" % backend,
              smtp("carol", "Carol#pw1") is False)
    finally:
        os.chmod(store, 0o600)
    check("%s: the log says the accounts cannot be read" % backend,
          re.search(r"\]ERROR PAM login from 127\.0\.0\.1 unavailable \(\d+\): user=carol service=",
                    ostrel_log()) is not None)


def imported_logins(backend):
    """A user brought in from a Dovecot passwd-file by ostrel-import logs in over IMAP with
    the old password; the first login rewrites the hash as argon2id. A clear-text entry of
    the same file is listed and not taken."""
    importer = os.path.join(os.path.dirname(env["MAIL_OSTREL"]), "tools", "ostrel-import",
                            "ostrel-import")
    made = subprocess.run(["doveadm", "pw", "-s", "SHA512-CRYPT", "-p", "Imported#pw4"],
                          capture_output=True, text=True).stdout.strip()
    passwd = os.path.join(DIR, "import.passwd")
    with open(passwd, "w") as out:
        out.write("dora:%s::::%s::\npete:{PLAIN}Plain#pw5::::::\n"
                  % (made, os.path.join(HOMES, "dora")))
    os.chmod(passwd, 0o644)
    ini = os.path.join(DIR, "ostrel", "ostrel.ini")

    def run(*args):
        return subprocess.run(["runuser", "-u", env["MAIL_OSTREL_USER"], "--", importer]
                              + list(args), capture_output=True, text=True, timeout=60).stdout

    report = run(ini, passwd)
    check("%s: ostrel-import takes dora, lists pete's clear text" % backend,
          made.startswith("{SHA512-CRYPT}$6$") and "imported 1 account: sha512crypt (1)" in report
          and "pete: not a hash" in report)
    check("%s: one imported hash left" % backend, "sha512crypt 1\n" in run("--remaining", ini))
    check("%s: IMAP wrong password of imported dora refused" % backend,
          imap("dora", "Imported#pw") is False)
    check("%s: IMAP login of imported dora with her old password" % backend,
          imap("dora", "Imported#pw4") is True)
    check("%s: dora's hash rewritten at the login" % backend,
          run("--remaining", ini).startswith("0 accounts hold"))
    check("%s: IMAP login of dora after the rewrite" % backend,
          imap("dora", "Imported#pw4") is True)
    check("%s: pete was not imported" % backend, imap("pete", "Plain#pw5") is False)


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
    # Host account names are case-sensitive, as the host is.
    folded = backend != "system"
    logins(backend, "ALICE", "Old#pass1", folded)
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
    if backend == "system":
        # A home that an update (not an add) made stays root's on the host's accounts;
        # hand it over as an administrator would, so that POP3 can make the mailbox.
        subprocess.run(["chown", "alice:", moved], check=False)
    logins(backend + " after the new home", "alice", "New#pass2", True)
    check("del alice", ostrel("del alice").startswith("+OK"))
    logins(backend + " after del", "alice", "New#pass2", False)
    check("%s: doveadm user alice after del" % backend, home_of("alice") is None)

    # Host accounts and the domain's: the address's local part is the account
    # (auth_username_format = %n); the store and the directory hold the address itself.
    address = {"system": "asmith@example.org", "ad": "erin@example.org"}.get(
        backend, "alice.smith@example.org")
    account = address.split("@")[0] if backend in ("system", "ad") else address
    address_home = os.path.join(HOMES, address)
    check("set " + account,
          ostrel("set %s Mail#pass3 home=%s" % (account, address_home)).startswith("+OK"))
    logins(backend + " mail address", address, "Mail#pass3", True)
    logins(backend + " mail address", address.upper(), "Mail#pass3", folded)
    logins(backend + " mail address", address, "Old#pass1", False)
    check("%s: doveadm user %s" % (backend, address), home_of(address) == address_home)

    check("%s: message to %s accepted at RCPT TO" % (backend, address),
          send_message(address) == 250)
    check("%s: message delivered by LMTP and read over IMAP" % backend,
          imap_finds(address, "Mail#pass3", "ostrel-ci"))
    check("%s: unknown recipient refused at RCPT TO" % backend,
          send_message("nobody-here@example.org") == 550)
    check("del " + account, ostrel("del " + account).startswith("+OK"))

    log = ostrel_log()
    check("%s: the log shows the mail logins" % backend,
          re.search(r"\]INFO PAM login from 127\.0\.0\.1 accepted: user=alice service=", log)
          and re.search(r"\]ERROR PAM login from 127\.0\.0\.1 refused \(wrong password\): "
                        r"user=alice service=", log)
          and re.search(r"\]ERROR PAM login from 127\.0\.0\.1 refused "
                        r"\((?:unknown name|wrong password)\): user=nobody-here service=", log))
    check("%s: the log holds no password" % backend,
          "Old#pass1" not in log and "wrong#pass" not in log)

    if backend == "store":
        imported_logins(backend)
    if backend not in ("ldap", "ad"):  # a directory or domain counts under its own policy
        shared_lockout(backend)
    if backend == "store":
        unreadable_store(backend)

    if failures:
        print("%d checks failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
