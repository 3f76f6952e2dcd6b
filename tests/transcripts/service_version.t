# The version reply ignores the words after the command word.
> version
< +OK Ostrel version 1.0g
> -version 2.0 please
< +OK Ostrel version 1.0g
> quit
< +OK
log: DEBUG Terminal input..
log: DEBUG Input count = 1
log: DEBUG Command {1}
log: DEBUG Function? {version}
log: INFO Performing version
log: INFO +OK Ostrel version 1.0g
log: DEBUG Input count = 3
log: INFO Performing exit
log: INFO Ostrel version 1.0g ends.
