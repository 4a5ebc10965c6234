/* The yardstick for the browser test: a native messaging host that does no
 * work, answering every frame with the same reply. The reply comes from
 * reference_reply.h, which the test writes so its length matches ours. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "reference_reply.h"

static int readAll(int fd, void *buffer, size_t size) {
  char *at = buffer;
  while (size > 0) {
    ssize_t count = read(fd, at, size);
    if (count <= 0) return 0;
    at += count;
    size -= (size_t)count;
  }
  return 1;
}

int main(void) {
  static char frame[4 + sizeof(referenceReply) - 1];
  uint32_t replyLength = sizeof(referenceReply) - 1;
  memcpy(frame, &replyLength, 4);
  memcpy(frame + 4, referenceReply, replyLength);

  char *body = NULL;
  uint32_t capacity = 0, length;
  while (readAll(0, &length, 4)) {
    if (length > capacity) {
      free(body);
      body = malloc(length);
      if (body == NULL) return 1;
      capacity = length;
    }
    if (!readAll(0, body, length)) break;
    if (write(1, frame, sizeof frame) != (ssize_t)sizeof frame) break;
  }
  return 0;
}
