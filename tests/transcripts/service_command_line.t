# One command on the command line: it is served and the run ends; standard input is
# never read.
args: version
> help
< +OK Ostrel version 1.0g
log: DEBUG Command line input..
log: DEBUG Function? {version}
log: INFO Ostrel version 1.0g ends.
