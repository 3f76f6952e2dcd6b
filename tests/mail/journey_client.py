#!/usr/bin/env python3
"""A mail client's view of a host set up by the README's recipes (tests/mail/readme_journeys.sh):
logins on the standard ports as a mail client makes them (IMAP and POP3 with STARTTLS, SMTP
submission on 587 with STARTTLS and on 465 with TLS from the first byte), a wrong password
refused, port 25 offering no login, a message taken on port 25 from this host and read back
over IMAP, and an unknown recipient refused at RCPT TO for a client outside mynetworks.

  journey_client.py LOGIN ADDRESS [OUTSIDE_SOURCE]

reads the password from standard input. Prints one line per check; exit status 1 when any
failed. The host's certificate is its self-signed one: it is not verified."""

import imaplib
import poplib
import smtplib
import socket
import ssl
import sys
import time
import uuid

HOST = "127.0.0.1"
failures = []


def check(label, ok, detail=""):
    print(("PASS " if ok else "FAIL ") + label + ("" if ok or not detail else ": %s" % detail),
          flush=True)
    if not ok:
        failures.append(label)


def tls():
    context = ssl.create_default_context()
    context.check_hostname = False
    context.verify_mode = ssl.CERT_NONE
    return context


def attempt(function, *args):
    """True, False (refused) or the text of an unexpected failure."""
    try:
        return function(*args)
    except (OSError, EOFError, imaplib.IMAP4.error, poplib.error_proto, smtplib.SMTPException) \
            as error:
        return "%s: %s" % (type(error).__name__, error)


def imap_login(login, password):
    with imaplib.IMAP4(HOST, 143, timeout=30) as client:
        client.starttls(tls())
        try:
            client.login(login, password)
        except imaplib.IMAP4.error:
            return False
        client.logout()
        return True


def pop3_login(login, password):
    client = poplib.POP3(HOST, 110, timeout=30)
    try:
        client.stls(tls())
        client.user(login)
        try:
            client.pass_(password)
        except poplib.error_proto:
            return False
        client.quit()
        return True
    finally:
        client.close()


def smtp_auth(client, login, password):
    client.ehlo("client.example.net")
    if not client.has_extn("auth"):
        return "no AUTH offered"
    try:
        client.login(login, password)
    except smtplib.SMTPAuthenticationError:
        return False
    return True


def submission_587(login, password):
    with smtplib.SMTP(HOST, 587, timeout=30) as client:
        client.starttls(context=tls())
        return smtp_auth(client, login, password)


def submission_465(login, password):
    with smtplib.SMTP_SSL(HOST, 465, timeout=30, context=tls()) as client:
        return smtp_auth(client, login, password)


def port_25_offers_login():
    with smtplib.SMTP(HOST, 25, timeout=30) as client:
        client.ehlo("peer.example.net")
        client.starttls(context=tls())
        client.ehlo("peer.example.net")
        return client.has_extn("auth")


def deliver(recipient, subject, source=None):
    """Mail from a peer MX on port 25; the RCPT TO answer (code, text) once the recipient's
    check is done (450 while it is in progress)."""
    for _ in range(40):
        with smtplib.SMTP(HOST, 25, timeout=60,
                          source_address=(source, 0) if source else None) as client:
            client.ehlo("peer.example.net")
            client.mail("sender@peer.example.net")
            code, text = client.rcpt(recipient)
            if code == 250:
                client.data("From: sender@peer.example.net\r\nTo: %s\r\nSubject: %s\r\n\r\n"
                            "Delivered through LMTP.\r\n" % (recipient, subject))
            if code != 450:
                return code, text.decode(errors="replace")
        time.sleep(0.5)
    return 450, "still unverified"


def read_back(login, password, subject):
    """The message's text when it is in the INBOX within 30 seconds, else None."""
    for _ in range(60):
        with imaplib.IMAP4(HOST, 143, timeout=30) as client:
            client.starttls(tls())
            client.login(login, password)
            client.select("INBOX")
            _, found = client.search(None, "SUBJECT", subject)
            if found and found[0]:
                _, data = client.fetch(found[0].split()[-1], "(RFC822)")
                client.logout()
                return data[0][1].decode(errors="replace")
            client.logout()
        time.sleep(0.5)
    return None


def main():
    login, address = sys.argv[1], sys.argv[2]
    outside = sys.argv[3] if len(sys.argv) > 3 else None
    password = sys.stdin.readline().rstrip("\n")
    for label, function in (("IMAP (143, STARTTLS)", imap_login), ("POP3 (110, STLS)", pop3_login),
                            ("SMTP submission (587, STARTTLS)", submission_587),
                            ("SMTP submission (465, TLS)", submission_465)):
        result = attempt(function, login, password)
        check("%s login of %s" % (label, login), result is True, result)
    result = attempt(imap_login, login, password + "x")
    check("IMAP refuses a wrong password of %s" % login, result is False, result)
    result = attempt(submission_587, login, password + "x")
    check("SMTP submission refuses a wrong password of %s" % login, result is False, result)
    result = attempt(port_25_offers_login)
    check("port 25 offers no login, even under TLS", result is False, result)

    subject = "journey-" + uuid.uuid4().hex
    result = attempt(deliver, address, subject)
    check("port 25 takes mail for %s" % address, isinstance(result, tuple) and result[0] == 250,
          result)
    text = attempt(read_back, login, password, subject)
    check("the message is read back over IMAP",
          isinstance(text, str) and "Delivered through LMTP." in text, text)
    if outside:
        result = attempt(deliver, "nobody-here@" + address.split("@")[1], subject, outside)
        ok = isinstance(result, tuple) and result[0] == 550 and "unknown user" in result[1] \
            and not any(word in result[1].lower() for word in ("lmtp", "dovecot", "private/"))
        check("an unknown recipient from outside mynetworks is refused at RCPT TO, "
              "naming no internal host or transport", ok, result)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    socket.setdefaulttimeout(60)
    sys.exit(main())
