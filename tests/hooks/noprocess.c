/* A broken hook: it can be configured and released but has no "Process". */
#include <stdlib.h>

#include "QuenvaroHook.h"

int Configure(void **ctxp, int argc, char *argv[])
{
  (void)argc;
  (void)argv;
  *ctxp = malloc(1);
  return 0;
}

void Release(void *ctx) { free(ctx); }
