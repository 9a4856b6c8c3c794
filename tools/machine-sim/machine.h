#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <string>

#include "ymodem_receiver.h"

struct MachineConfig {
  in_addr address{};            // own address: announced, TCP listener, UDP source
  sockaddr_in announce_to{};    // where announcements go
  std::uint16_t tcp_port = 888;
  bool model_5s = false;
  bool start_in_boot = false;
  std::string serial = "12345";
  int interval_ms = 1000;
  long count = -1;              // announcements per start; -1: unlimited
  int restart_ms = 500;
  int refuse_ms = 0;
  int c_interval_ms = 1000;
  bool receive_only = false;
  bool exit_after_run = false;
  bool strict = false;          // log bytes that come before they are asked for
  bool silent_after_run = false;  // the application started by '3' never announces
  long crowd = 0;               // --crowd: more machines that only announce
  bool announce_only = false;   // no TCP listener: a board that only announces
  bool has_mac = false;         // the MAC field; else 02:54:41:56 and the address's last two bytes
  std::uint8_t mac[6] = {};
  bool has_boot_mac = false;    // the boot loader's MAC field; else as the application's
  std::uint8_t boot_mac[6] = {};
  bool has_send_from = false;   // announcements leave from this address instead
  in_addr send_from{};
  std::string out_path;
  std::string out_dir;          // each machine's image goes to OUT_DIR/ADDRESS.bin
  long fleet = 0;               // --fleet N: N whole machines in this process; 0: one, as before
  std::string rx_dump_prefix;   // bytes of connection k go to PREFIX.k; empty: none
  ReceiverFaults faults;
};

// Runs the simulated machine, or with config.fleet the fleet, until a signal
// or, with exit_after_run, until every machine has taken its run command.
// config.serial is a decimal number with a fleet. Returns the process exit
// status.
int RunMachines(const MachineConfig& config);
