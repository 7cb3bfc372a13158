/* A shared object that announces, from its constructor, that it was loaded:
   the service must never load it from a place an ordinary user controls. */
#include <stdio.h>
#include <stdlib.h>

__attribute__((constructor)) static void announce(void) {
  const char* root = getenv("VELARN_ROOT");
  char path[4096];
  snprintf(path, sizeof path, "%s/evil-ran", root ? root : "/tmp");
  FILE* f = fopen(path, "w");
  if (f) fclose(f);
}
