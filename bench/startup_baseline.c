/* The floor for start-up: a C program that loads the same libraries as ostrel (the C++
 * runtime among them), reads a small settings file, writes one reply line and appends the
 * four flushed log lines ostrel writes for it.
 * Run by startup_bench in the work directory that holds ostrel.ini. */
#include <sodium.h>
#include <sqlite3.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static void log_line(FILE* log, const char* text) {
  char stamp[32];
  const time_t now = time(NULL);
  struct tm local;
  localtime_r(&now, &local);
  strftime(stamp, sizeof stamp, "%d %H:%M:%S %Y", &local);
  fprintf(log, "%s:[%d]INFO %s\n", stamp, (int)getpid(), text);
  fflush(log);
}

int main(void) {
  /* Both libraries are loaded and bound, as they are for ostrel. */
  volatile const char* versions[2] = {sqlite3_libversion(), sodium_version_string()};
  (void)versions;
  char directory[512] = ".";
  char line[512];
  FILE* ini = fopen("ostrel.ini", "r");
  if (ini == NULL) return 1;
  while (fgets(line, sizeof line, ini) != NULL) {
    line[strcspn(line, "\r\n")] = '\0';
    if (strncmp(line, "path ", 5) == 0) snprintf(directory, sizeof directory, "%s", line + 5);
  }
  fclose(ini);
  char path[600];
  snprintf(path, sizeof path, "%s/baseline.log", directory);
  FILE* log = fopen(path, "a");
  if (log == NULL) return 1;
  log_line(log, "Ostrel version 1.0g starts.");
  log_line(log, "Performing version");
  fputs("+OK Ostrel version 1.0g\n", stdout);
  fflush(stdout);
  log_line(log, "+OK Ostrel version 1.0g");
  log_line(log, "Ostrel version 1.0g ends.");
  fclose(log);
  return 0;
}
