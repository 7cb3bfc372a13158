#include "vlnext.h"

/* Linux has no dial-up connections whose metric could outrank the tunnel's
 * host route, so there is nothing to adjust: the step always succeeds. */
__attribute__((visibility("default"))) int vlnext_AdjustDialup(void) { return 0; }

__attribute__((visibility("default"))) const char* vlnext_GetErrorMessage(void) { return ""; }
