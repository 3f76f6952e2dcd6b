# "exit" ends the run: the lines after it are never served.
> version
< +OK Ostrel version 1.0g
> exit
< +OK
> version
> help
log: INFO Performing exit
log: INFO Ostrel version 1.0g ends.
