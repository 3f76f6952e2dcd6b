# A command line of options only gives no reply and goes on in terminal mode.
args: log debug path {dir}
> version
< +OK Ostrel version 1.0g
> quit
< +OK
log: DEBUG Command line input..
log: DEBUG Command {5}
log: DEBUG Terminal input..
log: INFO Performing version
