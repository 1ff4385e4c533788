/* A stand-in for libswscale that exports only the first two functions the
   binding resolves, so loading it must fail at the third. */
int sws_scale(void) { return 0; }
void *sws_getContext(void) { return 0; }
/* sws_freeContext, sws_getCachedContext, sws_get_class and swscale_version
   are missing on purpose. */
void *sws_get_class(void) { return 0; }
