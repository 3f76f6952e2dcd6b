# Password checks by logon: good, wrong and unknown, the user name echoed as typed, a check
# without a password, and a check without a user name (the help listing). The password
# never reaches the log.
backend: folded names
account: alice Wonder!land home={dir}/home/alice comment=Reader script=mail.cmd
account: bob Tr0ub4dor
account: carol Wonder!land disabled
> check alice Wonder!land
< +OK alice config 0 home="{dir}/home/alice" comment="Reader" script="mail.cmd"
> check ALICE Wonder!land
< +OK ALICE config 0 home="{dir}/home/alice" comment="Reader" script="mail.cmd"
> -check bob Tr0ub4dor extra words
< +OK bob config 0
> check alice Wonder!lane
< -ERR alice does not exist or password incorrect.
> check nobody Wonder!land
< -ERR nobody does not exist or password incorrect.
> check carol Wonder!land
< -ERR 1331:Unknown error has occurred.
> check alice
< -ERR User alice does not exist or password incorrect.
> check
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
log: INFO Performing Windows check
log: INFO User (alice)
log: DEBUG Pass = xxxx
log: INFO Got host name from registry
log: DEBUG Success.
log: INFO +OK alice config 0 home="{dir}/home/alice" comment="Reader" script="mail.cmd"
log: ERROR -ERR alice does not exist or password incorrect.
log: DEBUG Failure.
nolog: Wonder!land
nolog: Wonder!lane
nolog: Tr0ub4dor
