# A newcomer's first session with the quick-start settings (examples/ostrel.ini): create
# an account, check its password, read it back, find it, change its comment, delete it
# and leave.
settings: path .
settings: log info
settings: group Guests
settings: password_min_length 12
> set newbie Fresh#Start1 home={dir}/mail/newbie
< +OK newbie added to database.
> check newbie Fresh#Start1
< +OK newbie config 0 home="{dir}/mail/newbie" comment="Ostrel 1.0g user"
> lookup newbie
< +OK newbie config 0 home="{dir}/mail/newbie" comment="Ostrel 1.0g user"
> search new*
< +DATA newbie home="{dir}/mail/newbie" comment="Ostrel 1.0g user"
< +OK 1 entry found.
> set newbie (NULL) comment="First mailbox"
< +OK User newbie added to database.
> lookup newbie
< +OK newbie config 0 home="{dir}/mail/newbie" comment="First mailbox"
> del newbie
< +OK Deleted user succesfully.
> quit
< +OK
log: INFO Performing add
log: INFO User (newbie)
log: INFO +OK newbie added to database.
log: INFO Performing Windows check
log: INFO Performing lookup
log: INFO Performing search
log: INFO +OK 1 entry found.
log: INFO Performing update
log: INFO Performing delete
log: INFO +OK Deleted user succesfully.
nolog: Fresh#Start1
nolog: DEBUG
file: {dir}/mail/newbie
