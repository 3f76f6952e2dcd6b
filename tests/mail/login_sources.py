#!/usr/bin/env python3
"""POP3 logins through the private Dovecot of tests/mail/servers.sh from several client
addresses (127.0.0.x: the stage runs in a network namespace of its own), with
lockout_threshold 3 in Ostrel's settings and the account-wide threshold at its default (30):

  logins   the lockout per source: guesses from one address throttle that address only for
           alice, a stale password repeated counts once, a spread-out attack on bob locks
           that account
  login A USER PASSWORD  one login from 127.0.0.A: prints accepted, refused or
                         no connection, exit status 0, 1 or 2

Uses MAIL_DIR, MAIL_OSTREL, MAIL_OSTREL_USER and MAIL_POP3_PORT as mail_setup exports them."""
import os
import socket
import sys

from mail_checks import check, failures, ostrel

env = os.environ


def pop3(address, user, password, timeout=15):
    """A POP3 login from address: True (accepted), False (refused) or "no connection"."""
    try:
        conn = socket.create_connection(("127.0.0.1", int(env["MAIL_POP3_PORT"])), timeout=timeout,
                                        source_address=(address, 0))
    except OSError:
        return "no connection"
    with conn, conn.makefile("rb") as replies:
        def say(line):
            if line is not None:
                conn.sendall(line.encode() + b"\r\n")
            return replies.readline().decode(errors="replace")
        try:
            if not say(None).startswith("+OK"):
                return "no connection"
            say("USER " + user)
            accepted = say("PASS " + password).startswith("+OK")
            say("QUIT")
            return accepted
        except OSError:
            return "no connection"


def source(n):
    return "127.0.0.%d" % n


def logins():
    homes = os.path.join(env["MAIL_DIR"], "mail")
    for user, password in (("alice", "Alice#pw1"), ("bob", "Bob#pw2")):
        check("set " + user, ostrel("set %s %s home=%s" % (user, password,
                                                          os.path.join(homes, user)))
              .startswith("+OK"))
    a, b, c = source(2), source(3), source(4)
    for n in range(1, 4):
        check("wrong password %d of alice from A refused" % n,
              pop3(a, "alice", "guess#a%d" % n) is False)
    check("A throttled: the right password from A refused",
          pop3(a, "alice", "Alice#pw1") is False)
    check("B logs in with the right password", pop3(b, "alice", "Alice#pw1") is True)
    for n in range(1, 11):
        check("stale password from C refused (%d)" % n, pop3(c, "alice", "Old#pw0") is False)
    check("C logs in right after its stale password", pop3(c, "alice", "Alice#pw1") is True)

    if env.get("MAIL_BACKEND") == "ldap":
        return spread_on_the_directory(b)
    # A spread-out attack on bob: two distinct guesses from each address, below its
    # throttle; the account locks at the account-wide threshold, 30 (ten times 3).
    n = 10
    for counted in range(1, 30):
        check("guess %d at bob from %s refused" % (counted, source(n)),
              pop3(source(n), "bob", "guess#%d" % counted) is False)
        n += counted % 2 == 0
    check("29 counted: bob logs in from B", pop3(b, "bob", "Bob#pw2") is True)
    check("guess 30 at bob refused", pop3(source(n), "bob", "guess#30") is False)
    check("30 counted: bob is locked, B refused", pop3(b, "bob", "Bob#pw2") is False)
    check("locked for ostrel's check too",
          ostrel("check bob Bob#pw2") == "-ERR 1909:Unknown error has occurred.")
    check("unlock bob", ostrel("set bob (NULL)").startswith("+OK"))
    check("unlocked: bob logs in from B", pop3(b, "bob", "Bob#pw2") is True)
    return 1 if failures else 0


def spread_on_the_directory(b):
    """A directory's account as a whole is locked by the directory's own password policy
    (the test server's: 5 wrong passwords); guesses spread over addresses, each below its
    throttle, reach it there."""
    for n in range(1, 6):
        check("guess %d at bob from %s refused" % (n, source(10 + n)),
              pop3(source(10 + n), "bob", "guess#%d" % n) is False)
    check("5 counted by the directory: bob is locked, B refused",
          pop3(b, "bob", "Bob#pw2") is False)
    check("locked for ostrel's check too",
          ostrel("check bob Bob#pw2") == "-ERR 1909:Unknown error has occurred.")
    check("unlock bob", ostrel("set bob (NULL)").startswith("+OK"))
    check("unlocked: bob logs in from B", pop3(b, "bob", "Bob#pw2") is True)
    return 1 if failures else 0


def main():
    if sys.argv[1:2] == ["logins"]:
        return logins()
    if sys.argv[1:2] == ["login"] and len(sys.argv) == 5:
        result = pop3(source(int(sys.argv[2])), sys.argv[3], sys.argv[4])
        print({True: "accepted", False: "refused"}.get(result, result))
        return {True: 0, False: 1}.get(result, 2)
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
