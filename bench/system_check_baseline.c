/* The floor for "check" on the host's accounts: one bare crypt_rn verify per input line
 * against the hash text in HASH_FILE, one reply line each. Run by system_check_bench.
 * Usage: system_check_baseline HASH_FILE PASSWORD  (lines on standard input; "quit" ends) */
#include <crypt.h>
#include <stdio.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  char hash[CRYPT_OUTPUT_SIZE] = "";
  FILE* in = fopen(argv[1], "r");
  if (in == NULL || fgets(hash, sizeof hash, in) == NULL) return 1;
  fclose(in);
  hash[strcspn(hash, "\r\n")] = '\0';
  static struct crypt_data data;
  char line[512];
  while (fgets(line, sizeof line, stdin) != NULL) {
    if (strncmp(line, "quit", 4) == 0) break;
    const char* out = crypt_rn(argv[2], hash, &data, sizeof data);
    const int ok = out != NULL && strcmp(out, hash) == 0;
    fputs(ok ? "+OK\n" : "-ERR\n", stdout);
    fflush(stdout);
  }
  fputs("+OK\n", stdout);
  return 0;
}
