# The end of input ends the run like quit, through the end-of-run steps; a last line
# without its newline is still served (the runner adds newlines, so this shows the end).
> version
< +OK Ostrel version 1.0g
log: INFO Performing version
log: DEBUG Terminal input..
log: INFO Ostrel version 1.0g ends.
