# The password policy refuses a new password before anything changes, with the answer
# Windows gives for its own policy's refusals, and the log names the rule, never the
# password. (On Windows the host's own policy applies.)
platform: posix
settings: path .
settings: log info
settings: password_min_length 12
settings: password_complexity on
> set alice Short#1
< -ERR The password is shorter than required.
> set alice longenoughbutplain
< -ERR The password is shorter than required.
> set alice Alice#Garden2024
< -ERR The password is shorter than required.
> lookup alice
< -ERR User alice not found.
> set alice Garden#Path2024
< +OK alice added to database.
> quit
< +OK
log: INFO Password of alice refused: shorter than 12 characters
log: INFO Password of alice refused: not three of upper case, lower case, digits and other characters
log: INFO Password of alice refused: holds the account name
log: INFO +OK alice added to database.
nolog: Short#1
nolog: longenoughbutplain
nolog: Alice#Garden2024
nolog: Garden#Path2024
