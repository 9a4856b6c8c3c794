#include "machine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "crowd.h"
#include "event_log.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) { g_stop = 1; }

const std::uint8_t kSignature[] = {0x22, 0xEF, 0x44, 0x1A, 0x33, 0xE9,
                                   0xF1, 0x34, 0x54, 0x9E, 0x78};
constexpr int kMaxPollWaitMs = 1000;
constexpr int kListenBacklog = 4;
// Menu texts of the boot loader; the updater ignores them.
const char kUnlockReply[] = "Flash unlocked\r\n";
const char kDownloadReply[] = "Waiting for the file to be sent ...\r\n";

std::string AddressText(const sockaddr_in& address) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(address.sin_port));
}

class Machine {
 public:
  explicit Machine(const MachineConfig& config)
      : cfg_(config), rx_(config.faults, config.c_interval_ms, config.strict) {}
  ~Machine();
  int Run();

 private:
  enum class Phase { kApp, kRestarting, kBoot };

  bool Setup();
  void StartPhase(Phase phase, std::int64_t now);
  void Restart(Phase next, std::int64_t now);
  bool OpenListener();
  void CloseListener();
  void Accept(std::int64_t now);
  void DropConnection(const char* why);
  bool OpenRxDump();
  void ReadConnection(std::int64_t now);
  void HandleCommand(std::int64_t now, std::uint8_t byte);
  void PumpReceiver(std::int64_t now);
  void RunFirmware();
  void SaveImage();
  void Announce(std::int64_t now);
  void FlushOutput();
  bool Announcing() const;
  std::int64_t NextDeadline() const;
  void Finish(int status) {
    finished_ = true;
    status_ = status;
  }

  MachineConfig cfg_;
  YmodemReceiver rx_;
  int udp_ = -1;
  int listener_ = -1;
  int conn_ = -1;
  int rx_dump_ = -1;
  long connections_ = 0;  // accepted so far; numbers the --rx-dump files
  Phase phase_ = Phase::kApp;
  Phase next_phase_ = Phase::kApp;
  std::int64_t restart_done_ms_ = 0;
  std::int64_t listen_at_ms_ = 0;
  std::int64_t next_announce_ms_ = 0;
  long announced_ = 0;
  std::unique_ptr<Crowd> crowd_;
  std::int64_t crowd_next_ms_ = 0;
  bool ran_ = false;  // '3' taken: the application now running is the new firmware
  std::string out_;  // bytes waiting to go to the peer
  bool finished_ = false;
  int status_ = 0;
  sigset_t wait_mask_{};  // signal mask while waiting
};

Machine::~Machine() {
  for (int fd : {udp_, listener_, conn_, rx_dump_}) {
    if (fd >= 0) close(fd);
  }
}

bool Machine::Setup() {
  udp_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = cfg_.has_send_from ? cfg_.send_from : cfg_.address;
  if (udp_ < 0 || setsockopt(udp_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      bind(udp_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::fprintf(stderr, "machine-sim: cannot bind UDP socket to %s: %s\n",
                 AddressText(local).c_str(), std::strerror(errno));
    return false;
  }
  if (cfg_.crowd > 0) {
    char* end = nullptr;
    const long base = std::strtol(cfg_.serial.c_str(), &end, 10);
    crowd_ = std::make_unique<Crowd>(cfg_.crowd, cfg_.address, cfg_.announce_to, cfg_.model_5s,
                                     end != cfg_.serial.c_str() && *end == '\0' ? base : 0, cfg_.interval_ms);
    if (!crowd_->Open()) return false;
  }
  // Binding once up front reports a busy port at start, not after a delay.
  if (!cfg_.announce_only && !OpenListener()) return false;
  StartPhase(cfg_.start_in_boot ? Phase::kBoot : Phase::kApp, NowMs());
  return true;
}

bool Machine::OpenListener() {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = cfg_.address;
  local.sin_port = htons(cfg_.tcp_port);
  if (listener_ < 0 || setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
      bind(listener_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
      listen(listener_, kListenBacklog) != 0) {
    std::fprintf(stderr, "machine-sim: cannot listen on TCP %s: %s\n",
                 AddressText(local).c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

void Machine::CloseListener() {
  if (listener_ >= 0) close(listener_);
  listener_ = -1;
}

void Machine::StartPhase(Phase phase, std::int64_t now) {
  phase_ = phase;
  announced_ = 0;
  next_announce_ms_ = now;
  LogEvent("state %s", phase == Phase::kApp ? "app" : "boot");
  listen_at_ms_ = now + cfg_.refuse_ms;
  if (cfg_.refuse_ms > 0) {
    CloseListener();
    LogEvent("refuse");
  } else if (listener_ >= 0) {
    LogEvent("listen");
  }
}

void Machine::Restart(Phase next, std::int64_t now) {
  CloseListener();
  phase_ = Phase::kRestarting;
  next_phase_ = next;
  restart_done_ms_ = now + cfg_.restart_ms;
}

void Machine::Accept(std::int64_t now) {
  sockaddr_in peer{};
  socklen_t len = sizeof peer;
  const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &len,
                         SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return;
  conn_ = fd;
  out_.clear();
  ++connections_;
  LogEvent("connect %s", AddressText(peer).c_str());
  if (!OpenRxDump()) return;
  rx_.Stop();
  if (phase_ == Phase::kBoot && cfg_.receive_only) {
    LogEvent("receive");
    rx_.Start(now, true);
  }
}

// A dump that cannot be written ends the run: a comparison of runs would
// otherwise be made against a file that is silently short.
bool Machine::OpenRxDump() {
  if (cfg_.rx_dump_prefix.empty()) return true;
  const std::string path = cfg_.rx_dump_prefix + "." + std::to_string(connections_);
  rx_dump_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (rx_dump_ >= 0) return true;
  std::fprintf(stderr, "machine-sim: cannot open %s: %s\n", path.c_str(), std::strerror(errno));
  Finish(1);
  return false;
}

void Machine::DropConnection(const char* why) {
  if (conn_ < 0) return;
  FlushOutput();
  close(conn_);
  conn_ = -1;
  if (rx_dump_ >= 0) close(rx_dump_);
  rx_dump_ = -1;
  out_.clear();
  rx_.Stop();
  LogEvent("close %s", why);
}

void Machine::ReadConnection(std::int64_t now) {
  std::uint8_t buf[4096];
  const ssize_t n = recv(conn_, buf, sizeof buf, 0);
  if (n == 0) {
    DropConnection("peer");
    return;
  }
  if (n < 0) {
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) DropConnection("error");
    return;
  }
  for (ssize_t done = 0; rx_dump_ >= 0 && done < n;) {
    const ssize_t written = write(rx_dump_, buf + done, static_cast<std::size_t>(n - done));
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      std::fprintf(stderr, "machine-sim: cannot write %s.%ld: %s\n", cfg_.rx_dump_prefix.c_str(),
                   connections_, written < 0 ? std::strerror(errno) : "nothing written");
      Finish(1);
      return;
    }
    done += written;
  }
  for (ssize_t i = 0; i < n && conn_ >= 0 && !finished_; ++i) {
    if (rx_.Active()) {
      rx_.Feed(now, buf + i, static_cast<std::size_t>(n - i));
      PumpReceiver(now);
      return;
    }
    HandleCommand(now, buf[i]);
  }
}

void Machine::HandleCommand(std::int64_t now, std::uint8_t byte) {
  LogEvent("rx-cmd 0x%02X", byte);
  if (phase_ == Phase::kApp) {
    if (byte == 'R') {
      LogEvent("reset");
      DropConnection("reset");
      Restart(Phase::kBoot, now);
    }
    return;
  }
  if (byte == '3') {
    // Taken outside a receiver, it comes with no batch ended on this connection.
    if (cfg_.strict && !rx_.CommandAfterBatchEnd()) LogEvent("early run");
    RunFirmware();
  } else if (rx_.Active()) {
    return;  // a stray byte between frames; a boot loader in transfer ignores it
  } else if (byte == '4') {
    out_ += kUnlockReply;
  } else if (byte == '1') {
    out_ += kDownloadReply;
    LogEvent("receive");
    rx_.Start(now, false);
  }
}

void Machine::PumpReceiver(std::int64_t now) {
  while (conn_ >= 0 && !finished_ && rx_.Active()) {
    std::uint8_t command = 0;
    const YmodemReceiver::Event event = rx_.Poll(now, &out_, &command);
    if (event == YmodemReceiver::Event::kNone) return;
    if (event == YmodemReceiver::Event::kCommand) {
      HandleCommand(now, command);
    } else if (event == YmodemReceiver::Event::kClose) {
      DropConnection("block");
    } else if (event == YmodemReceiver::Event::kBatchEnd) {
      SaveImage();
      // Without a run command to wait for, the batch itself is the end.
      if (cfg_.receive_only && cfg_.exit_after_run) Finish(rx_.Intact() ? 0 : 1);
    }
  }
}

void Machine::RunFirmware() {
  const bool intact = rx_.Intact();
  const std::size_t size = rx_.Image().size();
  LogEvent("run size=%zu %s", size, intact ? "intact" : "broken");
  if (intact) {
    std::printf("machine-sim: running new firmware (%zu bytes)\n", size);
  } else {
    std::printf("machine-sim: running firmware, image incomplete (%zu bytes received)\n", size);
  }
  if (cfg_.exit_after_run) {
    Finish(intact ? 0 : 1);
    return;
  }
  ran_ = true;
  DropConnection("run");
  Restart(Phase::kApp, NowMs());
}

void Machine::SaveImage() {
  if (cfg_.out_path.empty()) return;
  const std::vector<std::uint8_t>& image = rx_.Image();
  std::FILE* file = std::fopen(cfg_.out_path.c_str(), "wb");
  bool ok = file != nullptr;
  // An empty image has no data() to hand to fwrite.
  if (ok && !image.empty()) ok = std::fwrite(image.data(), 1, image.size(), file) == image.size();
  if (file != nullptr && std::fclose(file) != 0) ok = false;
  if (!ok) {
    std::fprintf(stderr, "machine-sim: cannot write %s: %s\n", cfg_.out_path.c_str(),
                 std::strerror(errno));
  }
  LogEvent("saved bytes=%zu%s", image.size(), ok ? "" : " failed");
}

void Machine::Announce(std::int64_t now) {
  const bool boot = phase_ == Phase::kBoot;
  const char* name = cfg_.model_5s ? (boot ? "BootTavix5s" : "Tavix5S")
                                   : (boot ? "BootTavix7" : "Tavix7");
  const auto* ip = reinterpret_cast<const std::uint8_t*>(&cfg_.address.s_addr);
  std::vector<std::uint8_t> packet(kSignature, kSignature + sizeof kSignature);
  packet.insert(packet.end(), ip, ip + 4);
  packet.insert(packet.end(), {255, 255, 255, 0});
  if (boot && cfg_.has_boot_mac) {
    packet.insert(packet.end(), cfg_.boot_mac, cfg_.boot_mac + 6);
  } else if (cfg_.has_mac) {
    packet.insert(packet.end(), cfg_.mac, cfg_.mac + 6);
  } else {
    packet.insert(packet.end(), {0x02, 0x54, 0x41, 0x56, ip[2], ip[3]});  // locally administered
  }
  packet.push_back(static_cast<std::uint8_t>(cfg_.tcp_port >> 8));
  packet.push_back(static_cast<std::uint8_t>(cfg_.tcp_port & 0xFF));
  packet.insert(packet.end(), name, name + std::strlen(name) + 1);
  if (!boot) {
    packet.insert(packet.end(), {0, 0});
    packet.insert(packet.end(), cfg_.serial.begin(), cfg_.serial.end());
    packet.push_back(0);
  }
  const ssize_t sent = sendto(udp_, packet.data(), packet.size(), 0,
                              reinterpret_cast<const sockaddr*>(&cfg_.announce_to),
                              sizeof cfg_.announce_to);
  if (sent < 0) {
    LogEvent("announce %s error=%s", name, std::strerror(errno));
  } else {
    LogEvent("announce %s", name);
  }
  ++announced_;
  next_announce_ms_ = now + cfg_.interval_ms;
}

void Machine::FlushOutput() {
  while (!out_.empty() && conn_ >= 0) {
    const ssize_t n = send(conn_, out_.data(), out_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      out_.erase(0, static_cast<std::size_t>(n));
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) out_.clear();  // recv sees the loss
      return;
    }
  }
}

bool Machine::Announcing() const {
  if (cfg_.silent_after_run && ran_ && phase_ == Phase::kApp) return false;
  return phase_ != Phase::kRestarting && (cfg_.count < 0 || announced_ < cfg_.count);
}

std::int64_t Machine::NextDeadline() const {
  std::int64_t deadline = NowMs() + kMaxPollWaitMs;
  if (phase_ == Phase::kRestarting) deadline = std::min(deadline, restart_done_ms_);
  if (phase_ != Phase::kRestarting && listener_ < 0 && !cfg_.announce_only) deadline = std::min(deadline, listen_at_ms_);
  if (crowd_) deadline = std::min(deadline, crowd_next_ms_);
  if (Announcing()) deadline = std::min(deadline, next_announce_ms_);
  if (conn_ >= 0) deadline = std::min(deadline, rx_.NextDeadlineMs());
  return deadline;
}

int Machine::Run() {
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask_);
  sigdelset(&wait_mask_, SIGINT);
  sigdelset(&wait_mask_, SIGTERM);
  if (!Setup()) return 1;
  while (!finished_) {
    if (g_stop) {
      LogEvent("stop");
      // Stopped before any run: with --exit-after-run that is a failed update.
      return cfg_.exit_after_run ? 1 : 0;
    }
    std::int64_t now = NowMs();
    if (phase_ == Phase::kRestarting && now >= restart_done_ms_) StartPhase(next_phase_, now);
    if (phase_ != Phase::kRestarting && listener_ < 0 && !cfg_.announce_only && now >= listen_at_ms_) {
      if (!OpenListener()) return 1;
      LogEvent("listen");
    }
    if (Announcing() && now >= next_announce_ms_) Announce(now);
    if (crowd_ && now >= crowd_next_ms_) crowd_next_ms_ = crowd_->SendDue(now);
    if (conn_ >= 0) PumpReceiver(now);
    FlushOutput();
    if (finished_) break;

    pollfd fds[1] = {};
    nfds_t count = 0;
    if (conn_ >= 0) {
      fds[count++] = {conn_, static_cast<short>(POLLIN | (out_.empty() ? 0 : POLLOUT)), 0};
    } else if (listener_ >= 0) {
      fds[count++] = {listener_, POLLIN, 0};
    }
    const std::int64_t wait = std::clamp<std::int64_t>(NextDeadline() - NowMs(), 0, kMaxPollWaitMs);
    const timespec timeout = {static_cast<time_t>(wait / 1000), static_cast<long>(wait % 1000) * 1000000};
    // Stop signals are blocked except inside ppoll, so none slips in unseen.
    if (ppoll(fds, count, &timeout, &wait_mask_) < 0) {
      if (errno == EINTR) continue;
      std::perror("machine-sim: poll");
      return 1;
    }
    now = NowMs();
    if (count == 1 && fds[0].fd == conn_ && (fds[0].revents & (POLLIN | POLLHUP | POLLERR))) {
      ReadConnection(now);
    } else if (count == 1 && fds[0].fd == listener_ && (fds[0].revents & POLLIN)) {
      Accept(now);
    }
  }
  FlushOutput();
  return status_;
}

}  // namespace

int RunMachine(const MachineConfig& config) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  Machine machine(config);
  return machine.Run();
}
