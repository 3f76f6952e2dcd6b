/* The floor for "check": one bare crypto_pwhash_str_verify per input line against the
 * hash text in HASH_FILE, one reply line each. Run by check_bench.
 * Usage: check_baseline HASH_FILE PASSWORD  (lines on standard input; "quit" ends) */
#include <sodium.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc < 3 || sodium_init() < 0) return 2;
  char hash[crypto_pwhash_STRBYTES] = "";
  FILE* in = fopen(argv[1], "r");
  if (in == NULL || fgets(hash, sizeof hash, in) == NULL) return 1;
  fclose(in);
  hash[strcspn(hash, "\r\n")] = '\0';
  char line[512];
  while (fgets(line, sizeof line, stdin) != NULL) {
    if (strncmp(line, "quit", 4) == 0) break;
    const int ok = crypto_pwhash_str_verify(hash, argv[2], strlen(argv[2])) == 0;
    fputs(ok ? "+OK\n" : "-ERR\n", stdout);
    fflush(stdout);
  }
  fputs("+OK\n", stdout);
  return 0;
}
