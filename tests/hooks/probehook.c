/* A hook that records every call it gets. Arguments: "fail" makes Configure
 * refuse; "repoint" makes Process clear the plane pointers of the record it
 * is handed. Each configured hook gets its own id (1, 2, ...). */
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ProbeHook.h"
#include "QuenvaroHook.h"

typedef struct Probe {
  int id;
  int repoint;
} Probe;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static ProbeState state;
static int next_id;

static void add_event(char kind, int id)
{
  size_t used = strlen(state.events);
  snprintf(state.events + used, sizeof state.events - used, used ? " %c%d" : "%c%d", kind, id);
}

int Configure(void **ctxp, int argc, char *argv[])
{
  int i, fail = 0, repoint = 0;
  Probe *p;
  pthread_mutex_lock(&lock);
  state.configures++;
  state.last_argc = argc;
  state.argv_terminated = argv[argc] == NULL;
  state.args[0] = '\0';
  for (i = 0; i < argc; ++i) {
    size_t used = strlen(state.args);
    snprintf(state.args + used, sizeof state.args - used, i ? "\n%s" : "%s", argv[i]);
    if (i > 0 && strcmp(argv[i], "fail") == 0) fail = 1;
    if (i > 0 && strcmp(argv[i], "repoint") == 0) repoint = 1;
  }
  if (fail) {
    add_event('F', 0);
    pthread_mutex_unlock(&lock);
    return 1;
  }
  p = calloc(1, sizeof *p);
  p->id = ++next_id;
  p->repoint = repoint;
  add_event('C', p->id);
  pthread_mutex_unlock(&lock);
  *ctxp = p;
  return 0;
}

void Process(void *ctx, QuenvaroHookPicture *picture, int pix_fmt, int width, int height, int64_t pts)
{
  Probe *p = ctx;
  int i;
  pthread_mutex_lock(&lock);
  state.processes++;
  state.pix_fmt = pix_fmt;
  state.width = width;
  state.height = height;
  state.pts = pts;
  add_event('P', p ? p->id : 0);
  pthread_mutex_unlock(&lock);
  if (p && p->repoint)
    for (i = 0; i < 4; ++i) {
      picture->data[i] = NULL;
      picture->linesize[i] = 0;
    }
}

void Release(void *ctx)
{
  Probe *p = ctx;
  pthread_mutex_lock(&lock);
  state.releases++;
  add_event('R', p ? p->id : 0);
  pthread_mutex_unlock(&lock);
  free(p);
}

QUENVARO_HOOK_EXPORT void ProbeRead(ProbeState *out)
{
  pthread_mutex_lock(&lock);
  *out = state;
  pthread_mutex_unlock(&lock);
}

QUENVARO_HOOK_EXPORT void ProbeReset(void)
{
  pthread_mutex_lock(&lock);
  memset(&state, 0, sizeof state);
  next_id = 0;
  pthread_mutex_unlock(&lock);
}
