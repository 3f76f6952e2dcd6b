# Lookup with and without attributes, of a missing account, with a word too many; delete
# an account and one that does not exist (a "+OK" line that is the command's negative reply).
backend: folded names
account: alice - home={dir}/home/alice comment=Reader
account: bob -
> lookup alice
< +OK alice config 0 home="{dir}/home/alice" comment="Reader"
> -lookup Bob ignored
< +OK Bob config 0
> lookup nobody
< -ERR User nobody not found.
> del BOB
< +OK Deleted user succesfully.
> lookup bob
< -ERR User bob not found.
> -del bob
< +OK User account not found.
> quit
< +OK
log: INFO Performing lookup
log: INFO Performing delete
log: INFO User (BOB)
log: INFO +OK Deleted user succesfully.
log: ERROR +OK User account not found.
