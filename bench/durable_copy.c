/* The baseline for a large set: a copy that survives a power cut, as the program's write does.
 * durable_copy FROM TO: reads FROM, writes a temporary file beside TO, flushes it, renames it
 * over TO and flushes the folder. */
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

static int fail(const char* what) {
  perror(what);
  return 1;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: durable_copy FROM TO\n");
    return 2;
  }
  int from = open(argv[1], O_RDONLY);
  struct stat info;
  if (from < 0 || fstat(from, &info) != 0) return fail(argv[1]);
  char* bytes = malloc(info.st_size > 0 ? info.st_size : 1);
  if (bytes == NULL) return fail("malloc");
  size_t size = 0;
  for (ssize_t got; (got = read(from, bytes + size, info.st_size - size)) > 0;) size += got;
  close(from);

  char temporary[4096];
  snprintf(temporary, sizeof temporary, "%s.copying", argv[2]);
  int to = open(temporary, O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (to < 0) return fail(temporary);
  for (size_t done = 0; done < size;) {
    ssize_t put = write(to, bytes + done, size - done);
    if (put <= 0) return fail("write");
    done += put;
  }
  if (fsync(to) != 0 || close(to) != 0) return fail("fsync");
  if (rename(temporary, argv[2]) != 0) return fail("rename");

  char folder_name[4096];
  snprintf(folder_name, sizeof folder_name, "%s", argv[2]);
  int folder = open(dirname(folder_name), O_RDONLY | O_DIRECTORY);
  if (folder < 0 || fsync(folder) != 0) return fail("fsync of the folder");
  close(folder);
  free(bytes);
  return 0;
}
