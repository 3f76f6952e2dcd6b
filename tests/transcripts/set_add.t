# A new account: created with its attributes and home directory, readable by lookup and
# check; the password is never logged.
> set alice Wonder!land home={dir}/home/alice comment="Alice Liddell" script=mail.cmd
< +OK alice added to database.
> lookup alice
< +OK alice config 0 home="{dir}/home/alice" comment="Alice Liddell" script="mail.cmd"
> check alice Wonder!land
< +OK alice config 0 home="{dir}/home/alice" comment="Alice Liddell" script="mail.cmd"
> quit
< +OK
log: INFO Performing add
log: INFO User (alice)
log: DEBUG Pass = xxxx
log: DEBUG Joining group (Guests)
log: INFO +OK alice added to database.
nolog: Wonder!land
file: {dir}/home/alice
