/* The limit: the least a native messaging host can do. It reads each frame
 * whole and answers it with one fixed reply, the text of QORDA_BENCH_REPLY,
 * which the bench sets to the reply the real host gives, so both write the
 * same number of bytes. Linked statically: nothing to load at start-up. */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "frame_io.h"

int main(void) {
  const char* reply = getenv("QORDA_BENCH_REPLY");
  if (reply == NULL) reply = "{}";
  size_t replySize = strlen(reply);
  unsigned char* frame = malloc(4 + replySize);
  if (frame == NULL) return 1;
  for (int i = 0; i < 4; ++i) frame[i] = (unsigned char)(replySize >> (8 * i));
  memcpy(frame + 4, reply, replySize);

  unsigned char header[4];
  while (readAll(0, header, sizeof header)) {
    size_t length =
        (size_t)header[0] | (size_t)header[1] << 8 | (size_t)header[2] << 16 | (size_t)header[3] << 24;
    /* A real host keeps the body to parse it; so does the limit. */
    unsigned char* body = malloc(length + 1);
    if (body == NULL || !readAll(0, body, length)) return 0;
    free(body);
    if (!writeAll(1, frame, 4 + replySize)) return 0;
  }
  return 0;
}
