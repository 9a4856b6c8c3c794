// machine-sim: a simulated machine for lanflash. It announces itself by UDP,
// takes the reset command as a running application, and as a boot loader
// takes the unlock/download/run commands and a YMODEM batch over TCP.
// With --fleet, one process plays many such machines.
#include <arpa/inet.h>
#include <getopt.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "event_log.h"
#include "machine.h"

namespace {

const char kUsage[] =
    "Usage: machine-sim [options]\n"
    "Simulates a machine that lanflash can discover, reset and update.\n"
    "\n"
    "Machine:\n"
    "  -a, --address IP        own address: announced, UDP source, TCP listener\n"
    "                          (default 127.0.0.7)\n"
    "  -t, --announce-to IP[:PORT]  where announcements go (default 127.0.0.1:11000;\n"
    "                          a broadcast address works too)\n"
    "  -m, --model 7|5S        model (default 7): names Tavix7/BootTavix7 or\n"
    "                          Tavix5S/BootTavix5s\n"
    "  -s, --state app|boot    start in the application or the boot loader (default app)\n"
    "  -n, --serial TEXT       serial number sent in application announcements\n"
    "                          (default 12345; sent as given)\n"
    "  -i, --interval-ms N     time between announcements (default 1000)\n"
    "  -c, --count N           announcements after each start of the application or\n"
    "                          boot loader (default unlimited; 0: none)\n"
    "      --tcp-port N        TCP port to listen on and announce (default 888)\n"
    "      --mac XX:XX:XX:XX:XX:XX  MAC field of the announcements (default\n"
    "                          02:54:41:56 and the last two bytes of --address)\n"
    "      --boot-mac XX:XX:XX:XX:XX:XX  MAC field of the boot loader's announcements\n"
    "                          (default: as the application's)\n"
    "      --from IP           send the announcements from IP instead of --address\n"
    "                          (a host that names another machine)\n"
    "      --announce-only     take no connection: a board that only announces\n"
    "                          (with --mac: a second board at the same address)\n"
    "      --crowd N           also play N machines that only announce their\n"
    "                          application over UDP, at the N addresses after\n"
    "                          --address, each every --interval-ms, spread evenly;\n"
    "                          serial numbers count up from --serial (a busy network)\n"
    "      --fleet N           play N whole machines (1 to 65535) in one process, at the\n"
    "                          N addresses from --address on, serial numbers counting\n"
    "                          up from --serial (then a decimal number); their first\n"
    "                          announcements spread over --interval-ms. Every other\n"
    "                          option applies to each machine, except --crowd,\n"
    "                          --from, --mac, --boot-mac, --out and --rx-dump, which\n"
    "                          are refused with it\n"
    "      --restart-ms N      silence between 'R' or '3' and the restart (default 500)\n"
    "      --refuse-ms N       refuse connections for the first N ms after each start\n"
    "      --c-interval-ms N   time between 'C' requests while waiting for block 0\n"
    "                          (default 1000; the first 'C' goes N/2 after '1')\n"
    "      --out PATH          write the received image here at the end of the batch\n"
    "      --out-dir DIR       write each machine's image to DIR/ADDRESS.bin instead\n"
    "                          (e.g. DIR/127.0.0.7.bin)\n"
    "      --exit-after-run    exit on '3': status 0 if the image is intact, else 1\n"
    "                          (with --receive-only: at the end of the batch); with\n"
    "                          --fleet each machine stops there, and the process\n"
    "                          exits once all have: 0 if every image was intact\n"
    "      --receive-only      every connection is a YMODEM receiver at once, without\n"
    "                          commands (e.g. for sz --ymodem through socat)\n"
    "      --strict            log as 'early ...' a block 0 that comes before the\n"
    "                          first 'C', a data block, EOT or closing block before\n"
    "                          the answer to the one before it, and '3' before the\n"
    "                          closing block's ACK (judged by when the first byte\n"
    "                          came in); the machine acts on them as usual\n"
    "\n"
    "Faults (N counts data blocks from 1, without wrapping):\n"
    "      --block-delay-ms N  wait N ms before acknowledging each data block\n"
    "      --silent-from-block N  stop answering from data block N on\n"
    "      --close-at-block N  close the connection when data block N arrives\n"
    "      --c-first           answer the first block 0 with 'C', its repeat with ACK\n"
    "      --c-forever         answer every block 0 with 'C'\n"
    "      --garbage           answer data blocks with junk bytes instead of ACK\n"
    "      --nak-storm         answer every data block with NAK\n"
    "      --fail-transfers N  answer every data block with NAK in the first N\n"
    "                          batches (one per '1', or per connection with\n"
    "                          --receive-only); later ones go through, so a retry\n"
    "                          can succeed\n"
    "      --silent-after-run  start the application on '3' as usual, but never\n"
    "                          announce it (the update cannot be confirmed)\n"
    "\n"
    "Output:\n"
    "  -v, --verbose           print wire events on stdout\n"
    "  -l, --log PATH          write wire events to PATH\n"
    "      --rx-dump PREFIX    write every byte received on TCP connection k\n"
    "                          (k = 1, 2, ... as accepted) to the file PREFIX.k\n"
    "  -h, --help              show this text\n"
    "\n"
    "Wire events, one per line, t = ms since start (with --fleet the machine's\n"
    "address follows: t=5 127.0.0.12 state app):\n"
    "  t=5 state app|boot            application or boot loader started\n"
    "  t=5 listen | refuse           TCP listener open | closed (--refuse-ms)\n"
    "  t=5 announce NAME [error=..]  announcement sent\n"
    "  t=9 connect IP:PORT           connection accepted\n"
    "  t=9 close peer|error|reset|run|block  connection ended, and why\n"
    "  t=9 rx-cmd 0x52               byte received outside YMODEM frames\n"
    "  t=9 reset                     'R' taken; restart follows\n"
    "  t=9 receive                   YMODEM receiver started\n"
    "  t=9 tx-c                      'C' sent while waiting for block 0\n"
    "  t=9 block 0 name=NAME size=N [reply=C]  header (name: \\xNN for odd bytes;\n"
    "                                size=none when absent)\n"
    "  t=9 block 0 bad header|crc|number\n"
    "  t=9 block K ok len=L [beyond-size|bad-fill]  data block stored, ACK sent\n"
    "  t=9 block K repeat [bad crc]  previous block again, ACK (NAK if bad crc)\n"
    "  t=9 block K bad header|crc|number=0xNN   NAK sent\n"
    "  t=9 block K silent|close|nak-storm|garbage  fault option acted\n"
    "                                (nak-storm also for --fail-transfers)\n"
    "  t=9 timeout partial=N         incomplete frame dropped, NAK sent\n"
    "  t=9 eot nak|ack|repeat|unexpected|silent\n"
    "  t=9 end-of-batch [repeat]     closing block acknowledged\n"
    "  t=9 saved bytes=N [failed]    image written (--out)\n"
    "  t=9 run size=N intact|broken  '3' taken\n"
    "  t=9 early block 0|block K|eot|closing|run  came before it was asked for\n"
    "                                (--strict; logged before the event itself)\n"
    "  t=9 stop                      SIGINT/SIGTERM\n"
    "\n"
    "Exit status: 0 normally; 1 on a failed run (--exit-after-run), a signal\n"
    "before it (--exit-after-run), a socket error, an --rx-dump file that\n"
    "cannot be written or too few descriptors for --fleet; 2 on bad options.\n";

enum LongOnly {
  kTcpPort = 256,
  kRestartMs,
  kRefuseMs,
  kCInterval,
  kOut,
  kExitAfterRun,
  kReceiveOnly,
  kBlockDelay,
  kSilentFrom,
  kCloseAt,
  kCFirst,
  kCForever,
  kGarbage,
  kNakStorm,
  kFailTransfers,
  kSilentAfterRun,
  kRxDump,
  kStrict,
  kMac,
  kBootMac,
  kFrom,
  kAnnounceOnly,
  kCrowd,
  kFleet,
  kOutDir,
};

const option kOptions[] = {
    {"address", required_argument, nullptr, 'a'},
    {"announce-to", required_argument, nullptr, 't'},
    {"model", required_argument, nullptr, 'm'},
    {"state", required_argument, nullptr, 's'},
    {"serial", required_argument, nullptr, 'n'},
    {"interval-ms", required_argument, nullptr, 'i'},
    {"count", required_argument, nullptr, 'c'},
    {"tcp-port", required_argument, nullptr, kTcpPort},
    {"restart-ms", required_argument, nullptr, kRestartMs},
    {"refuse-ms", required_argument, nullptr, kRefuseMs},
    {"c-interval-ms", required_argument, nullptr, kCInterval},
    {"out", required_argument, nullptr, kOut},
    {"exit-after-run", no_argument, nullptr, kExitAfterRun},
    {"receive-only", no_argument, nullptr, kReceiveOnly},
    {"strict", no_argument, nullptr, kStrict},
    {"mac", required_argument, nullptr, kMac},
    {"boot-mac", required_argument, nullptr, kBootMac},
    {"from", required_argument, nullptr, kFrom},
    {"announce-only", no_argument, nullptr, kAnnounceOnly},
    {"crowd", required_argument, nullptr, kCrowd},
    {"fleet", required_argument, nullptr, kFleet},
    {"out-dir", required_argument, nullptr, kOutDir},
    {"block-delay-ms", required_argument, nullptr, kBlockDelay},
    {"silent-from-block", required_argument, nullptr, kSilentFrom},
    {"close-at-block", required_argument, nullptr, kCloseAt},
    {"c-first", no_argument, nullptr, kCFirst},
    {"c-forever", no_argument, nullptr, kCForever},
    {"garbage", no_argument, nullptr, kGarbage},
    {"nak-storm", no_argument, nullptr, kNakStorm},
    {"fail-transfers", required_argument, nullptr, kFailTransfers},
    {"silent-after-run", no_argument, nullptr, kSilentAfterRun},
    {"verbose", no_argument, nullptr, 'v'},
    {"log", required_argument, nullptr, 'l'},
    {"rx-dump", required_argument, nullptr, kRxDump},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

// Parses a whole decimal number within [min, max]; false on anything else.
bool ParseNumber(const char* text, long min, long max, long* value) {
  char* end = nullptr;
  errno = 0;
  const long parsed = std::strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < min || parsed > max) return false;
  *value = parsed;
  return true;
}

bool ParseEndpoint(const std::string& text, sockaddr_in* endpoint) {
  const std::size_t colon = text.find(':');
  const std::string host = text.substr(0, colon);
  long port = 11000;
  if (colon != std::string::npos && !ParseNumber(text.c_str() + colon + 1, 1, 65535, &port)) {
    return false;
  }
  endpoint->sin_family = AF_INET;
  endpoint->sin_port = htons(static_cast<std::uint16_t>(port));
  return inet_pton(AF_INET, host.c_str(), &endpoint->sin_addr) == 1;
}

bool ParseMac(const char* text, std::uint8_t mac[6]) {
  unsigned b[6];
  char rest = 0;
  if (std::sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &rest) != 6) {
    return false;
  }
  for (int k = 0; k < 6; ++k) mac[k] = static_cast<std::uint8_t>(b[k]);
  return true;
}

int BadOption(const char* name, const char* value) {
  std::fprintf(stderr, "machine-sim: bad value for %s: '%s' (see --help)\n", name, value);
  return 2;
}

int NotTogether(const char* a, const char* b) {
  std::fprintf(stderr, "machine-sim: %s cannot be used with %s (see --help)\n", a, b);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  MachineConfig config;
  inet_pton(AF_INET, "127.0.0.7", &config.address);
  ParseEndpoint("127.0.0.1:11000", &config.announce_to);
  bool verbose = false;
  const char* log_path = nullptr;

  int opt;
  while ((opt = getopt_long(argc, argv, "a:t:m:s:n:i:c:vl:h", kOptions, nullptr)) != -1) {
    long value = 0;
    const char* arg = optarg;
    auto number = [&](long min, long max) { return ParseNumber(arg, min, max, &value); };
    switch (opt) {
      case 'a':
        if (inet_pton(AF_INET, arg, &config.address) != 1) return BadOption("--address", arg);
        break;
      case 't':
        if (!ParseEndpoint(arg, &config.announce_to)) return BadOption("--announce-to", arg);
        break;
      case 'm':
        if (std::strcmp(arg, "7") != 0 && std::strcmp(arg, "5S") != 0 && std::strcmp(arg, "5s") != 0) {
          return BadOption("--model", arg);
        }
        config.model_5s = arg[0] == '5';
        break;
      case 's':
        if (std::strcmp(arg, "app") != 0 && std::strcmp(arg, "boot") != 0) {
          return BadOption("--state", arg);
        }
        config.start_in_boot = std::strcmp(arg, "boot") == 0;
        break;
      case 'n':
        if (std::strlen(arg) > 64) return BadOption("--serial", arg);
        config.serial = arg;
        break;
      case 'i':
        if (!number(1, INT_MAX)) return BadOption("--interval-ms", arg);
        config.interval_ms = static_cast<int>(value);
        break;
      case 'c':
        if (!number(0, LONG_MAX)) return BadOption("--count", arg);
        config.count = value;
        break;
      case kTcpPort:
        if (!number(1, 65535)) return BadOption("--tcp-port", arg);
        config.tcp_port = static_cast<std::uint16_t>(value);
        break;
      case kRestartMs:
        if (!number(0, INT_MAX)) return BadOption("--restart-ms", arg);
        config.restart_ms = static_cast<int>(value);
        break;
      case kRefuseMs:
        if (!number(0, INT_MAX)) return BadOption("--refuse-ms", arg);
        config.refuse_ms = static_cast<int>(value);
        break;
      case kCInterval:
        if (!number(1, INT_MAX)) return BadOption("--c-interval-ms", arg);
        config.c_interval_ms = static_cast<int>(value);
        break;
      case kBlockDelay:
        if (!number(0, INT_MAX)) return BadOption("--block-delay-ms", arg);
        config.faults.block_delay_ms = static_cast<int>(value);
        break;
      case kSilentFrom:
        if (!number(1, LONG_MAX)) return BadOption("--silent-from-block", arg);
        config.faults.silent_from_block = value;
        break;
      case kCloseAt:
        if (!number(1, LONG_MAX)) return BadOption("--close-at-block", arg);
        config.faults.close_at_block = value;
        break;
      case kFailTransfers:
        if (!number(1, LONG_MAX)) return BadOption("--fail-transfers", arg);
        config.faults.fail_transfers = value;
        break;
      case kMac:
        if (!ParseMac(arg, config.mac)) return BadOption("--mac", arg);
        config.has_mac = true;
        break;
      case kBootMac:
        if (!ParseMac(arg, config.boot_mac)) return BadOption("--boot-mac", arg);
        config.has_boot_mac = true;
        break;
      case kFrom:
        if (inet_pton(AF_INET, arg, &config.send_from) != 1) return BadOption("--from", arg);
        config.has_send_from = true;
        break;
      case kAnnounceOnly: config.announce_only = true; break;
      case kCrowd:
        if (!number(1, 65535)) return BadOption("--crowd", arg);
        config.crowd = value;
        break;
      case kFleet:
        if (!number(1, 65535)) return BadOption("--fleet", arg);
        config.fleet = value;
        break;
      case kOut: config.out_path = arg; break;
      case kOutDir:
        if (*arg == '\0') return BadOption("--out-dir", arg);
        config.out_dir = arg;
        break;
      case kExitAfterRun: config.exit_after_run = true; break;
      case kReceiveOnly: config.receive_only = true; break;
      case kStrict: config.strict = true; break;
      case kCFirst: config.faults.c_first = true; break;
      case kCForever: config.faults.c_forever = true; break;
      case kGarbage: config.faults.garbage = true; break;
      case kNakStorm: config.faults.nak_storm = true; break;
      case kSilentAfterRun: config.silent_after_run = true; break;
      case 'v': verbose = true; break;
      case 'l': log_path = arg; break;
      case kRxDump:
        if (*arg == '\0') return BadOption("--rx-dump", arg);
        config.rx_dump_prefix = arg;
        break;
      case 'h': std::fputs(kUsage, stdout); return 0;
      default: std::fputs("see machine-sim --help\n", stderr); return 2;
    }
  }
  if (optind < argc) return BadOption("arguments", argv[optind]);
  if (config.receive_only) config.start_in_boot = true;
  if (!config.out_path.empty() && !config.out_dir.empty()) return NotTogether("--out", "--out-dir");
  // Said now rather than once per machine at the end of its batch.
  if (!config.out_dir.empty() && access(config.out_dir.c_str(), W_OK | X_OK) != 0) {
    std::fprintf(stderr, "machine-sim: --out-dir %s: %s\n", config.out_dir.c_str(), std::strerror(errno));
    return 2;
  }
  if (config.fleet > 0) {
    // Each names one host or one file, not one per machine.
    const char* alone = nullptr;
    if (config.crowd > 0) alone = "--crowd";
    if (config.has_send_from) alone = "--from";
    if (config.has_mac) alone = "--mac";
    if (config.has_boot_mac) alone = "--boot-mac";
    if (!config.out_path.empty()) alone = "--out";
    if (!config.rx_dump_prefix.empty()) alone = "--rx-dump";
    if (alone != nullptr) return NotTogether("--fleet", alone);
    // Serial numbers count up, so they must be numbers and not run past what
    // the updater takes (32 bits).
    long first_serial = 0;
    if (config.serial.empty() || config.serial.find_first_not_of("0123456789") != std::string::npos ||
        !ParseNumber(config.serial.c_str(), 0, 0xFFFFFFFFL - (config.fleet - 1), &first_serial)) {
      std::fprintf(stderr, "machine-sim: --fleet %ld needs a --serial from 0 to %ld, not '%s'\n",
                   config.fleet, 0xFFFFFFFFL - (config.fleet - 1), config.serial.c_str());
      return 2;
    }
    if (ntohl(config.address.s_addr) > 0xFFFFFFFFu - static_cast<std::uint32_t>(config.fleet - 1)) {
      std::fprintf(stderr, "machine-sim: --fleet %ld runs past 255.255.255.255 from this --address\n",
                   config.fleet);
      return 2;
    }
  }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (!OpenEventLog(verbose, log_path)) {
    std::fprintf(stderr, "machine-sim: cannot open log %s: %s\n", log_path, std::strerror(errno));
    return 1;
  }
  return RunMachines(config);
}
