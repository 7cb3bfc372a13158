#include "kevad.h"

int main(int argc, char** argv) {
  // The parts of the service register here as they join the program.
  KevadParts parts{};
  kevad_register_parts(&parts);
  return kevad_main(argc, argv);
}
