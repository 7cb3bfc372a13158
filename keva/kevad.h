// Process-wide state of the service and the seams through which the session
// controller and the control channel plug into its lifecycle.
#pragma once
#include <apr_pools.h>

#define KEVAD_VERSION "kevad 1.4.5.248 (2015.11.18)"

// Data folder ("<root>/var/lib/Velarn"), every relative file name's base.
const char* kevad_data_folder(void);
// The root pool: parent of every other pool; lives from start to exit.
apr_pool_t* kevad_root_pool(void);
bool kevad_stopping(void);

// Adds a work item to the main queue; blocks while the queue is full.
// 0, or -1 when the queue is gone (the service is stopping).
typedef void (*work_fn)(void* arg);
int kevad_submit(work_fn fn, void* arg);

// The stop request: marks the service as stopping, asks the current session
// to stop, stops the control channel and terminates the main queue.
void kevad_stop_request(void);

// The parts that plug into the lifecycle. Each hook may be NULL while the
// part is not built into the program; its step is then skipped.
struct KevadParts {
  int (*ssl_init)(apr_pool_t* root);       // TLS library, start-up step
  int (*channel_start)(apr_pool_t* root);  // control channel
  void (*channel_stop)(void);
  int (*startup_session)(apr_pool_t* root);  // client.StartupProfile
  void (*session_stop)(void);                // ask the current session to stop
  void (*session_suspend)(void);
  void (*session_resume)(void);
  // Once the main queue no longer runs items: end the current session in
  // the main thread before the root pool goes.
  void (*session_shutdown)(void);
  void (*at_exit)(void);  // global library clean-up
};
// Registered before kevad_main runs.
void kevad_register_parts(const KevadParts* parts);

// The command-line decision and its actions; returns the process exit code.
int kevad_main(int argc, char** argv);
