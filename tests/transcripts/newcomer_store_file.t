# The quick-start settings keep the accounts in the store file beside the settings.
backend: store
settings: path .
settings: log info
settings: group Guests
settings: password_min_length 12
> set newbie Fresh#Start1
< +OK newbie added to database.
> quit
< +OK
file: {dir}/ostrel.db
nofile: {dir}/init.log
