#include "channel.h"
#include "kevad.h"

int main(int argc, char** argv) {
  // The parts of the service register here as they join the program.
  KevadParts parts{};
  parts.channel_start = channel_start;
  parts.channel_stop = channel_stop;
  kevad_register_parts(&parts);
  return kevad_main(argc, argv);
}
