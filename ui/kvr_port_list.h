#pragma once
// The ports offered by the port drop-down list.

#include <string>
#include <vector>

// Serial devices present now: /dev/ttyUSB*, /dev/ttyACM*, /dev/serial/by-id/*.
// Only names are listed; nothing is opened.
std::vector<std::string> kvr_scan_serial_devices();

// "COM1".."COM4", "SIM", the devices, and the stored port when it is a
// device path or a tcp:// server; without duplicates, sorted as a sorted list box sorts
// (without regard to case).
std::vector<std::string> kvr_port_list(const std::vector<std::string>& devices,
                                       const std::string& stored_port);

// The port offered when none is stored: the first USB serial interface
// found, else "SIM". Never COM1: on Linux /dev/ttyS0 is often a phantom
// port or the machine's console.
std::string kvr_first_start_port(const std::vector<std::string>& devices);

// Index of the item equal to `port` (case-sensitive), else 0.
int kvr_port_selection(const std::vector<std::string>& items, const std::string& port);
