# Search lists matching accounts in name order with their attributes and a count.
account: Adam pw1
account: albert pw2 comment=postmaster
account: alice pw3 home={dir} script=a.cmd
account: b pw4
> search *
< +DATA Adam
< +DATA albert comment="postmaster"
< +DATA alice home="{dir}" script="a.cmd"
< +DATA b
< +OK 4 entries found.
> search a*
< +DATA albert comment="postmaster"
< +DATA alice home="{dir}" script="a.cmd"
< +OK 2 entries found.
> search ?
< +DATA b
< +OK 1 entry found.
> search nobody*
< +OK 0 entries found.
> search \*
< +OK 0 entries found.
> search
< +DATA Valid commands
< +DATA   set <user> <pass>|(NULL) home="<dir>" script="<file>" comment="<text>"
< +DATA   del <user>
< +DATA   check <user> <pass>
< +DATA   lookup <user>
< +DATA   version <text>
< +DATA   help
< +DATA   quit
< +DATA   exit
< +OK
> quit
< +OK
log: INFO Performing search
log: INFO +OK 4 entries found.
