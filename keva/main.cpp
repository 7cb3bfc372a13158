#include "channel.h"
#include "client.h"
#include "kevad.h"
#include "nic.h"
#include "platform/route_table.h"
#include "ssl.h"

int main(int argc, char** argv) {
  KevadParts parts{};
  parts.ssl_init = ssl_global_init;
  parts.channel_start = channel_start;
  parts.channel_stop = channel_stop;
  parts.startup_session = client_startup;
  parts.session_stop = [] { client_stop_current(); };
  parts.session_suspend = client_suspend;
  parts.session_resume = client_resume;
  parts.session_shutdown = client_shutdown;
  kevad_register_parts(&parts);
  client_register({&nic_ops, &velarn::route_table_system()});
  return kevad_main(argc, argv);
}
