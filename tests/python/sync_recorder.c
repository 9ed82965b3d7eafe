// Records, for the power-loss test, what each fsync makes durable. Preloaded (LD_PRELOAD) into a
// process whose environment names a record directory in TARNWICK_SYNC_LOG. Each successful fsync
// appends a line to TARNWICK_SYNC_LOG/log:
//   "S <n> file <key>", with a copy of the file's bytes at that moment in <n>.data, or
//   "S <n> dir <key>", with the directory's entries ("<key> <d|f> <name>" lines, d for a
//   directory) in <n>.dir.
// A key names a file as "<inode>-<birth time in ns>": an inode freed and given to a new file,
// as removing a directory and making another one often does, gets another key.
// The process under test appends its own lines to the same log (opened for appending, so the
// lines of both keep the order in which they happened).
#define _GNU_SOURCE
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static unsigned long syncs;

// The key of `name` in the directory `dirfd` (of `dirfd` itself when `name` is empty) into `out`.
static void key_of(int dirfd, const char* name, char* out, size_t size) {
  struct statx status;
  const int flags = AT_SYMLINK_NOFOLLOW | (*name ? 0 : AT_EMPTY_PATH);
  if (statx(dirfd, name, flags, STATX_INO | STATX_BTIME, &status) != 0) {
    snprintf(out, size, "0-0");
    return;
  }
  const long long born = (status.stx_mask & STATX_BTIME)
                             ? status.stx_btime.tv_sec * 1000000000LL + status.stx_btime.tv_nsec
                             : 0;
  snprintf(out, size, "%llu-%lld", (unsigned long long)status.stx_ino, born);
}

static void append_line(const char* dir, const char* line) {
  char path[4096];
  snprintf(path, sizeof path, "%s/log", dir);
  int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  ssize_t ignored = write(fd, line, strlen(line));
  (void)ignored;
  close(fd);
}

static void copy_file(int fd, const char* to) {
  char self[64];
  snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
  int in = open(self, O_RDONLY | O_CLOEXEC);  // the descriptor may be open for writing only
  int out = open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  char buffer[65536];
  ssize_t n;
  while (in >= 0 && out >= 0 && (n = read(in, buffer, sizeof buffer)) > 0) {
    if (write(out, buffer, (size_t)n) != n) break;
  }
  if (in >= 0) close(in);
  if (out >= 0) close(out);
}

static void list_directory(int fd, const char* to) {
  int copy = dup(fd);
  DIR* dir = copy >= 0 ? fdopendir(copy) : NULL;
  FILE* out = fopen(to, "w");
  if (dir && out) {
    rewinddir(dir);
    struct dirent* entry;
    while ((entry = readdir(dir)) != NULL) {
      if (strcmp(entry->d_name, ".") && strcmp(entry->d_name, "..")) {
        char key[64];
        key_of(dirfd(dir), entry->d_name, key, sizeof key);
        fprintf(out, "%s %c %s\n", key, entry->d_type == DT_DIR ? 'd' : 'f', entry->d_name);
      }
    }
  }
  if (out) fclose(out);
  if (dir) closedir(dir);
}

int fsync(int fd) {
  static int (*real_fsync)(int);
  if (!real_fsync) real_fsync = (int (*)(int))dlsym(RTLD_NEXT, "fsync");
  const int result = real_fsync(fd);
  const char* log = getenv("TARNWICK_SYNC_LOG");
  struct stat status;
  if (result != 0 || !log || fstat(fd, &status) != 0) return result;
  const int is_dir = S_ISDIR(status.st_mode);
  if (!is_dir && !S_ISREG(status.st_mode)) return result;
  const unsigned long n = ++syncs;
  char path[4096], line[128], key[64];
  snprintf(path, sizeof path, "%s/%lu.%s", log, n, is_dir ? "dir" : "data");
  if (is_dir) {
    list_directory(fd, path);
  } else {
    copy_file(fd, path);
  }
  key_of(fd, "", key, sizeof key);
  snprintf(line, sizeof line, "S %lu %s %s\n", n, is_dir ? "dir" : "file", key);
  append_line(log, line);
  return result;
}
