/* What the probe hook saw, read by the tests through its extra export
 * "ProbeRead". */
#ifndef QV_PROBE_HOOK_H
#define QV_PROBE_HOOK_H

#include <stdint.h>

typedef struct ProbeState {
  int configures, processes, releases;
  int last_argc;
  int argv_terminated;   /* argv[argc] was NULL in the last Configure */
  int pix_fmt, width, height;
  int64_t pts;
  char args[4096];       /* last Configure's argv, joined with '\n' */
  char events[4096];     /* "C<id> P<id> R<id> F ..." in call order */
} ProbeState;

typedef void (*ProbeReadFn)(ProbeState *out);
typedef void (*ProbeResetFn)(void);

#endif
