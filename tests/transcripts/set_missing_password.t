# A set without a password writes no negative line, only the help listing.
> set frank
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
> lookup frank
< -ERR User frank not found.
> quit
< +OK
