/* Recursive removal relative to open directories, so that nothing outside the tree is touched. */
#define _GNU_SOURCE
#include "remove_tree.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int remove_at(int parent, const char* name) {
  if (unlinkat(parent, name, 0) == 0 || errno == ENOENT) return 0;
  if (errno != EISDIR) return -1;
  /* unlinkat refuses only real directories, never a symbolic link, so opening it up is safe. */
  (void)fchmodat(parent, name, S_IRWXU, 0);
  int fd = openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return -1;
  DIR* dir = fdopendir(fd);
  if (dir == NULL) {
    int saved = errno;
    (void)close(fd);
    errno = saved;
    return -1;
  }
  int result = 0, first_error = 0;
  struct dirent* entry;
  while ((errno = 0, entry = readdir(dir)) != NULL) {
    if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) continue;
    if (remove_at(dirfd(dir), entry->d_name) != 0 && result == 0) {
      result = -1;
      first_error = errno;
    }
  }
  if (errno != 0 && result == 0) {
    result = -1;
    first_error = errno;
  }
  (void)closedir(dir);
  if (unlinkat(parent, name, AT_REMOVEDIR) != 0 && errno != ENOENT && result == 0) {
    result = -1;
    first_error = errno;
  }
  errno = first_error;
  return result;
}

int remove_tree(const char* path) {
  return remove_at(AT_FDCWD, path);
}
