# The help listing: ten lines, whatever follows the command word, in both forms.
# A command that misses its first argument is answered with the same listing.
> help
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
> -help with some words
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
> del
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
log: DEBUG Function? {help}
log: INFO Performing help
log: INFO +DATA Valid commands
log: INFO +OK
log: DEBUG Function? {-help}
log: INFO Performing help
log: DEBUG Function? {del}
log: INFO Performing help
log: INFO Performing exit
