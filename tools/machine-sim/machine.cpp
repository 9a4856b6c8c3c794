#include "machine.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <set>
#include <utility>
#include <vector>

#include "announce.h"
#include "crowd.h"
#include "event_log.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void OnStopSignal(int) { g_stop = 1; }

constexpr int kMaxPollWaitMs = 1000;
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr int kMaxEventsPerWait = 256;
// Descriptors a fleet needs besides two per machine (its listener and its
// connection): standard streams, the log, the UDP and epoll sockets, an
// image being written, and some slack.
constexpr rlim_t kFleetSpareFds = 16;
constexpr int kListenBacklog = 4;
// Menu texts of the boot loader; the updater ignores them.
const char kUnlockReply[] = "Flash unlocked\r\n";
const char kDownloadReply[] = "Waiting for the file to be sent ...\r\n";

std::string AddressText(const sockaddr_in& address) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, ip, sizeof ip);
  return std::string(ip) + ":" + std::to_string(ntohs(address.sin_port));
}

// What the machines of one process share: the socket their announcements
// leave through, and the epoll set that watches their sockets.
struct Shared {
  int udp = -1;
  bool send_from_each = false;  // a fleet: an unbound socket, each machine's own source address
  int epoll = -1;
};

// One machine, driven by the loop in Fleet: Tick() when its deadline is
// due, OnReady() when the socket it waits on is ready.
class Machine {
 public:
  Machine(const MachineConfig& config, std::uint64_t index, Shared* shared, bool tagged,
          int first_announce_delay_ms);
  ~Machine() { Shut(); }
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Opens the listener and starts the first phase; false with a message.
  bool Open();
  // Handles what is due by now; false on a socket error that ends the process.
  bool Tick(std::int64_t now);
  void OnReady(std::int64_t now, std::uint32_t events);
  // Puts the socket the machine waits on (if any) into the epoll set.
  bool Watch();
  std::int64_t NextDeadline() const;
  // Closes every socket: the machine has exited.
  void Shut();
  bool finished() const { return finished_; }
  int status() const { return status_; }
  // The address that log lines carry with a fleet; null otherwise.
  const char* tag() const { return tagged_ ? tag_.c_str() : nullptr; }

 private:
  enum class Phase { kApp, kRestarting, kBoot };

  void StartPhase(Phase phase, std::int64_t now);
  void Restart(Phase next, std::int64_t now);
  bool OpenListener();
  void CloseSocket(int* fd);
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
  void Finish(int status) {
    finished_ = true;
    status_ = status;
  }

  MachineConfig cfg_;
  std::uint64_t index_;
  Shared* shared_;
  bool tagged_;
  std::string tag_;     // own address as text
  std::string prefix_;  // before console messages: "ADDRESS: " with a fleet
  int first_announce_delay_ms_;
  std::uint8_t default_mac_[6] = {};
  YmodemReceiver rx_;
  int listener_ = -1;
  int conn_ = -1;
  int rx_dump_ = -1;
  int watched_fd_ = -1;  // in the epoll set
  std::uint32_t watched_events_ = 0;
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
};

Machine::Machine(const MachineConfig& config, std::uint64_t index, Shared* shared, bool tagged,
                 int first_announce_delay_ms)
    : cfg_(config),
      index_(index),
      shared_(shared),
      tagged_(tagged),
      first_announce_delay_ms_(first_announce_delay_ms),
      rx_(config.faults, config.c_interval_ms, config.strict) {
  char ip[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &cfg_.address, ip, sizeof ip);
  tag_ = ip;
  if (tagged_) prefix_ = tag_ + ": ";
  DefaultMac(cfg_.address, default_mac_);
}

void Machine::Shut() {
  for (int* fd : {&listener_, &conn_, &rx_dump_}) CloseSocket(fd);
}

bool Machine::Open() {
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
  // Machines of a fleet are switched on one after another, so their first
  // announcements do not all land in the updater's socket at once.
  next_announce_ms_ += first_announce_delay_ms_;
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

// A closed socket leaves the epoll set by itself: none is ever duplicated.
void Machine::CloseSocket(int* fd) {
  if (*fd < 0) return;
  if (*fd == watched_fd_) {
    watched_fd_ = -1;
    watched_events_ = 0;
  }
  close(*fd);
  *fd = -1;
}

void Machine::StartPhase(Phase phase, std::int64_t now) {
  phase_ = phase;
  announced_ = 0;
  next_announce_ms_ = now;
  LogEvent("state %s", phase == Phase::kApp ? "app" : "boot");
  listen_at_ms_ = now + cfg_.refuse_ms;
  if (cfg_.refuse_ms > 0) {
    CloseSocket(&listener_);
    LogEvent("refuse");
  } else if (listener_ >= 0) {
    LogEvent("listen");
  }
}

void Machine::Restart(Phase next, std::int64_t now) {
  CloseSocket(&listener_);
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
  CloseSocket(&conn_);
  CloseSocket(&rx_dump_);
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
    std::printf("machine-sim: %srunning new firmware (%zu bytes)\n", prefix_.c_str(), size);
  } else {
    std::printf("machine-sim: %srunning firmware, image incomplete (%zu bytes received)\n",
                prefix_.c_str(), size);
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
  const std::uint8_t* mac = default_mac_;
  if (boot && cfg_.has_boot_mac) {
    mac = cfg_.boot_mac;
  } else if (cfg_.has_mac) {
    mac = cfg_.mac;
  }
  const std::vector<std::uint8_t> packet =
      AnnouncementPacket(cfg_.address, mac, cfg_.tcp_port, name, boot ? nullptr : &cfg_.serial);
  // A fleet's socket is shared: a full buffer must not hold up the others.
  const ssize_t sent =
      shared_->send_from_each
          ? SendFrom(shared_->udp, packet, cfg_.announce_to, cfg_.address, MSG_DONTWAIT)
          : sendto(shared_->udp, packet.data(), packet.size(), 0,
                   reinterpret_cast<const sockaddr*>(&cfg_.announce_to), sizeof cfg_.announce_to);
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
  if (finished_) return kNever;
  std::int64_t deadline = kNever;
  if (phase_ == Phase::kRestarting) deadline = std::min(deadline, restart_done_ms_);
  if (phase_ != Phase::kRestarting && listener_ < 0 && !cfg_.announce_only) deadline = std::min(deadline, listen_at_ms_);
  if (crowd_) deadline = std::min(deadline, crowd_next_ms_);
  if (Announcing()) deadline = std::min(deadline, next_announce_ms_);
  if (conn_ >= 0) deadline = std::min(deadline, rx_.NextDeadlineMs());
  return deadline;
}

bool Machine::Tick(std::int64_t now) {
  if (!finished_) {
    if (phase_ == Phase::kRestarting && now >= restart_done_ms_) StartPhase(next_phase_, now);
    if (phase_ != Phase::kRestarting && listener_ < 0 && !cfg_.announce_only && now >= listen_at_ms_) {
      if (!OpenListener()) return false;
      LogEvent("listen");
    }
    if (Announcing() && now >= next_announce_ms_) Announce(now);
    if (crowd_ && now >= crowd_next_ms_) crowd_next_ms_ = crowd_->SendDue(now);
    if (conn_ >= 0) PumpReceiver(now);
  }
  FlushOutput();
  return true;
}

void Machine::OnReady(std::int64_t now, std::uint32_t events) {
  if (finished_ || watched_fd_ < 0) return;
  if (watched_fd_ == conn_ && (events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
    ReadConnection(now);
  } else if (watched_fd_ == listener_ && (events & EPOLLIN)) {
    Accept(now);
  }
}

// The connection while there is one (the next waits in the backlog, as on
// the real boot loader), else the listener.
bool Machine::Watch() {
  int fd = -1;
  std::uint32_t events = 0;
  if (!finished_ && conn_ >= 0) {
    fd = conn_;
    events = EPOLLIN | (out_.empty() ? 0u : static_cast<std::uint32_t>(EPOLLOUT));
  } else if (!finished_ && listener_ >= 0) {
    fd = listener_;
    events = EPOLLIN;
  }
  if (fd == watched_fd_ && events == watched_events_) return true;
  if (watched_fd_ >= 0 && fd != watched_fd_) epoll_ctl(shared_->epoll, EPOLL_CTL_DEL, watched_fd_, nullptr);
  if (fd >= 0) {
    epoll_event event{};
    event.events = events;
    event.data.u64 = index_;
    if (epoll_ctl(shared_->epoll, fd == watched_fd_ ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) != 0) {
      std::perror("machine-sim: epoll_ctl");
      return false;
    }
  }
  watched_fd_ = fd;
  watched_events_ = events;
  return true;
}

// N machines (one without --fleet) on one epoll loop. Each machine's
// deadline sits in an ordered set, so a wake-up touches only the machines
// that are due or whose socket is ready.
class Fleet {
 public:
  explicit Fleet(const MachineConfig& config) : cfg_(config) {}
  ~Fleet();
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;
  int Run();

 private:
  bool Setup();
  bool OpenUdp();
  bool Step(std::size_t i, std::int64_t now);

  MachineConfig cfg_;
  Shared shared_;
  std::vector<std::unique_ptr<Machine>> machines_;
  std::vector<std::int64_t> deadline_;  // as in timers_; kNever: not there
  std::vector<bool> exited_;
  std::set<std::pair<std::int64_t, std::size_t>> timers_;
  std::size_t running_ = 0;
  int status_ = 0;
};

Fleet::~Fleet() {
  machines_.clear();
  for (int fd : {shared_.udp, shared_.epoll}) {
    if (fd >= 0) close(fd);
  }
}

bool RaiseFileLimit(long machines) {
  const rlim_t needed = 2 * static_cast<rlim_t>(machines) + kFleetSpareFds;
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) {
    std::perror("machine-sim: getrlimit");
    return false;
  }
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < needed) {
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
      const rlim_t allowed = limit.rlim_max > kFleetSpareFds ? (limit.rlim_max - kFleetSpareFds) / 2 : 0;
      std::fprintf(stderr,
                   "machine-sim: --fleet %ld needs %llu open files, but their hard limit is %llu "
                   "(ulimit -Hn), enough for %llu machines\n",
                   machines, static_cast<unsigned long long>(needed),
                   static_cast<unsigned long long>(limit.rlim_max),
                   static_cast<unsigned long long>(allowed));
      return false;
    }
    limit.rlim_cur = needed;
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0) {
      std::perror("machine-sim: setrlimit");
      return false;
    }
  }
  return true;
}

bool Fleet::OpenUdp() {
  shared_.udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  const int on = 1;
  if (shared_.send_from_each) {
    if (shared_.udp < 0 || setsockopt(shared_.udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
      std::fprintf(stderr, "machine-sim: cannot make a UDP socket: %s\n", std::strerror(errno));
      return false;
    }
    return true;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr = cfg_.has_send_from ? cfg_.send_from : cfg_.address;
  if (shared_.udp < 0 || setsockopt(shared_.udp, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      bind(shared_.udp, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    std::fprintf(stderr, "machine-sim: cannot bind UDP socket to %s: %s\n",
                 AddressText(local).c_str(), std::strerror(errno));
    return false;
  }
  return true;
}

bool Fleet::Setup() {
  const bool fleet = cfg_.fleet > 0;
  const long count = fleet ? cfg_.fleet : 1;
  if (fleet && !RaiseFileLimit(count)) return false;
  shared_.epoll = epoll_create1(EPOLL_CLOEXEC);
  if (shared_.epoll < 0) {
    std::perror("machine-sim: epoll_create1");
    return false;
  }
  shared_.send_from_each = fleet;
  if (!OpenUdp()) return false;
  const unsigned long long serial = fleet ? std::strtoull(cfg_.serial.c_str(), nullptr, 10) : 0;
  for (long i = 0; i < count; ++i) {
    MachineConfig config = cfg_;
    config.address.s_addr = htonl(ntohl(cfg_.address.s_addr) + static_cast<std::uint32_t>(i));
    if (fleet) config.serial = std::to_string(serial + static_cast<unsigned long long>(i));
    char ip[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &config.address, ip, sizeof ip);
    if (!cfg_.out_dir.empty()) config.out_path = cfg_.out_dir + "/" + ip + ".bin";
    const auto delay = static_cast<int>(static_cast<long long>(cfg_.interval_ms) * i / count);
    machines_.push_back(std::make_unique<Machine>(config, static_cast<std::uint64_t>(i), &shared_, fleet, delay));
  }
  deadline_.assign(machines_.size(), kNever);
  exited_.assign(machines_.size(), false);
  for (std::size_t i = 0; i < machines_.size(); ++i) {
    SetLogTag(machines_[i]->tag());
    if (!machines_[i]->Open() || !machines_[i]->Watch()) return false;
    deadline_[i] = machines_[i]->NextDeadline();
    if (deadline_[i] != kNever) timers_.emplace(deadline_[i], i);
  }
  running_ = machines_.size();
  return true;
}

// Lets machine i do what is due, then files it under its next deadline.
bool Fleet::Step(std::size_t i, std::int64_t now) {
  Machine& machine = *machines_[i];
  SetLogTag(machine.tag());
  if (!machine.Tick(now)) return false;
  if (machine.finished() && !exited_[i]) {
    // A machine of a fleet that exits leaves the others running.
    machine.Shut();
    exited_[i] = true;
    --running_;
    status_ = std::max(status_, machine.status());
  }
  if (!machine.Watch()) return false;
  const std::int64_t next = machine.NextDeadline();
  if (next != deadline_[i]) {
    if (deadline_[i] != kNever) timers_.erase({deadline_[i], i});
    if (next != kNever) timers_.emplace(next, i);
    deadline_[i] = next;
  }
  return true;
}

int Fleet::Run() {
  sigset_t stop_signals;
  sigset_t wait_mask;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
  sigdelset(&wait_mask, SIGINT);
  sigdelset(&wait_mask, SIGTERM);
  if (!Setup()) return 1;
  std::vector<std::size_t> due;
  epoll_event events[kMaxEventsPerWait];
  while (running_ > 0) {
    if (g_stop) {
      SetLogTag(nullptr);
      LogEvent("stop");
      // Stopped before every run: with --exit-after-run that is a failed update.
      return cfg_.exit_after_run ? 1 : 0;
    }
    const std::int64_t next = timers_.empty() ? kNever : timers_.begin()->first;
    const std::int64_t wait =
        std::clamp<std::int64_t>(next == kNever ? kMaxPollWaitMs : next - NowMs(), 0, kMaxPollWaitMs);
    // Stop signals are blocked except while waiting, so none slips in unseen.
    const int ready = epoll_pwait(shared_.epoll, events, kMaxEventsPerWait, static_cast<int>(wait), &wait_mask);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::perror("machine-sim: epoll_pwait");
      return 1;
    }
    for (int k = 0; k < ready; ++k) {
      const auto i = static_cast<std::size_t>(events[k].data.u64);
      SetLogTag(machines_[i]->tag());
      machines_[i]->OnReady(NowMs(), events[k].events);
      if (!Step(i, NowMs())) return 1;
    }
    if (running_ == 0) break;
    // The timers after the sockets: after a stall, bytes that came before a
    // deadline count, as they would for a machine that never stalls.
    const std::int64_t now = NowMs();
    due.clear();
    for (auto it = timers_.begin(); it != timers_.end() && it->first <= now; ++it) due.push_back(it->second);
    for (std::size_t i : due) {
      if (!Step(i, now)) return 1;
    }
  }
  return status_;
}

}  // namespace

int RunMachines(const MachineConfig& config) {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  Fleet fleet(config);
  return fleet.Run();
}
