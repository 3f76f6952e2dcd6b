#!/usr/bin/env python3
"""A system log socket for tests: syslog_sink.py SOCKET FILE binds a datagram socket at
SOCKET and appends each message of the authpriv facility to FILE as a syslog daemon writes
its auth log ("Dec  9 21:43:15 HOST TAG: MESSAGE"); other facilities are dropped. Runs until
killed; the socket exists once it has printed "ready"."""
import os
import re
import socket
import sys

AUTHPRIV = 10

path, out = sys.argv[1], sys.argv[2]
sink = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
sink.bind(path)
os.chmod(path, 0o666)
print("ready", flush=True)
host = socket.gethostname()
with open(out, "a") as log:
    while True:
        data = sink.recv(65536).decode(errors="replace").rstrip("\n\0")
        # glibc's form: <PRI>Mmm dd hh:mm:ss TAG: MESSAGE
        found = re.match(r"<(\d+)>(\w{3} [ \d]\d \d\d:\d\d:\d\d) (.*)", data, re.S)
        if found and int(found.group(1)) >> 3 == AUTHPRIV:
            log.write("%s %s %s\n" % (found.group(2), host, found.group(3)))
            log.flush()
