/* The floor for lookup and check on the host's accounts: per input line "lookup NAME" or
 * "check NAME PASSWORD", getpwnam and getspnam (and for check one crypt_rn verify of the
 * shadow hash), one reply line each. Run by system_scale_bench. As root it reads the given
 * files through the C library's own getpwnam and getspnam: in a private mount namespace
 * they are bound over /etc/passwd and /etc/shadow (the machine's files are not touched).
 * Otherwise it scans the files with fgetpwent and fgetspent, as those functions do.
 * Usage: system_lookup_baseline PASSWD SHADOW  (lines on standard input; "quit" ends) */
#define _GNU_SOURCE
#include <crypt.h>
#include <pwd.h>
#include <sched.h>
#include <shadow.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

static const char* passwd_file;
static const char* shadow_file;
static int own_files; /* getpwnam and getspnam read the given files */

static struct passwd* find_passwd(const char* name) {
  if (own_files) return getpwnam(name);
  FILE* in = fopen(passwd_file, "r");
  struct passwd* found = NULL;
  while (in != NULL && (found = fgetpwent(in)) != NULL && strcmp(found->pw_name, name) != 0) {
  }
  if (in != NULL) fclose(in);
  return found;
}

static struct spwd* find_shadow(const char* name) {
  if (own_files) return getspnam(name);
  FILE* in = fopen(shadow_file, "r");
  struct spwd* found = NULL;
  while (in != NULL && (found = fgetspent(in)) != NULL && strcmp(found->sp_namp, name) != 0) {
  }
  if (in != NULL) fclose(in);
  return found;
}

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  passwd_file = argv[1];
  shadow_file = argv[2];
  own_files = geteuid() == 0 && unshare(CLONE_NEWNS) == 0 &&
              mount(NULL, "/", NULL, MS_REC | MS_PRIVATE, NULL) == 0 &&
              mount(passwd_file, "/etc/passwd", NULL, MS_BIND, NULL) == 0 &&
              mount(shadow_file, "/etc/shadow", NULL, MS_BIND, NULL) == 0;
  static struct crypt_data data;
  char line[512];
  while (fgets(line, sizeof line, stdin) != NULL) {
    line[strcspn(line, "\r\n")] = '\0';
    if (strcmp(line, "quit") == 0) break;
    char* words[3] = {NULL, NULL, NULL};
    char* rest = line;
    for (int i = 0; i < 3; ++i) words[i] = strsep(&rest, " ");
    if (words[1] == NULL) continue;
    const struct passwd* pw = find_passwd(words[1]);
    const struct spwd* sp = pw != NULL ? find_shadow(words[1]) : NULL;
    if (sp == NULL) {
      printf("-ERR User %s not found.\n", words[1]);
    } else if (strcmp(words[0], "check") == 0) {
      const char* out = crypt_rn(words[2] ? words[2] : "", sp->sp_pwdp, &data, sizeof data);
      const int ok = out != NULL && strcmp(out, sp->sp_pwdp) == 0;
      if (ok)
        printf("+OK %s config 0 home=\"%s\" comment=\"%s\" script=\"%s\"\n", pw->pw_name,
               pw->pw_dir, pw->pw_gecos, pw->pw_shell);
      else
        printf("-ERR User %s does not exist or password incorrect.\n", words[1]);
    } else {
      printf("+OK %s config 0 home=\"%s\" comment=\"%s\" script=\"%s\"\n", pw->pw_name, pw->pw_dir,
             pw->pw_gecos, pw->pw_shell);
    }
    fflush(stdout);
  }
  fputs("+OK\n", stdout);
  return 0;
}
