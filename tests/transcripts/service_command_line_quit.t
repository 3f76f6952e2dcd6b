args: quit
< +OK
log: INFO Performing exit
