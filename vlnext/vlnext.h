/* The extension library: the dial-up metric step of the service. */
#ifndef VLNEXT_H
#define VLNEXT_H
#ifdef __cplusplus
extern "C" {
#endif

/* Returns 2 on failure; any other value is success. */
int vlnext_AdjustDialup(void);
/* Text explaining the last failure of vlnext_AdjustDialup. */
const char* vlnext_GetErrorMessage(void);

#ifdef __cplusplus
}
#endif
#endif
