// Prints this device's shared identifier as the application named by
// NB_APP_ID (or the program name), with the status it came with. Run it under
// two application ids: both print the same identifier.
//   device_id [--opt-out | --opt-in]
#include <cstring>
#include <iostream>

#include "nb/device/NBSharedUDID.h"

int main(int argc, char** argv) {
  if (argc == 2 &&
      (std::strcmp(argv[1], "--opt-out") == 0 || std::strcmp(argv[1], "--opt-in") == 0)) {
    if (!nb::NBSharedUDID::setOptOut(std::strcmp(argv[1], "--opt-out") == 0)) {
      std::cerr << "device_id: the choice could not be stored\n";
      return 1;
    }
  } else if (argc != 1) {
    std::cerr << "usage: device_id [--opt-out | --opt-in]\n";
    return 2;
  }
  nb::NBError status;
  std::cout << nb::NBSharedUDID::valueWithError(&status) << "\n";
  std::cerr << status.domain << " " << status.code << ": " << status.description << "\n";
  return 0;
}
