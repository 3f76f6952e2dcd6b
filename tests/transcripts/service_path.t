# The path option before the command word moves the log when the directory differs.
# After a command word "path" is an argument: here a user named path, so the log stays.
# The check reaches the account database; on Windows the log path takes a backslash.
uses: accounts
settings: path {dir}/.
settings: log debug
settings: account_db {dir}/ostrel.db
> path {dir}/. version
< +OK Ostrel version 1.0g
> path {dir} version
< +OK Ostrel version 1.0g
> check path {dir}/nonexistent
< -ERR path does not exist or password incorrect.
> path
> version
< +OK Ostrel version 1.0g
> quit
< +OK
log: INFO Performing version
log: INFO Ostrel version 1.0g ends.
posix: log: DEBUG Opening [{dir}/ostrel.log]
windows: log: DEBUG Opening [{dir}\ostrel.log]
log: INFO Ostrel version 1.0g starts.
log: DEBUG Command {3}
log: INFO Performing version
log: DEBUG Command {1}
log: DEBUG Function? {check}
log: INFO Performing exit
nofile: {dir}/nonexistent
file: {dir}/ostrel.log
