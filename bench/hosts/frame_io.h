/* Whole reads and writes of the frame stream, for the C hosts of the bench. */
#ifndef QORDA_BENCH_FRAME_IO_H
#define QORDA_BENCH_FRAME_IO_H

#include <errno.h>
#include <stddef.h>
#include <unistd.h>

static int readAll(int fd, unsigned char* into, size_t size) {
  while (size > 0) {
    ssize_t count = read(fd, into, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return 0;
    into += count;
    size -= (size_t)count;
  }
  return 1;
}

static int writeAll(int fd, const unsigned char* from, size_t size) {
  while (size > 0) {
    ssize_t count = write(fd, from, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return 0;
    from += count;
    size -= (size_t)count;
  }
  return 1;
}

#endif
