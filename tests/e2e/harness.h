// End-to-end test harness: starts lanflash and machine-sim as real
// processes, talks to them over loopback and reads what they print. Every
// test binary runs inside its own network namespace (tests/e2e/in-netns).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace e2e {

// What lanflash prints first in explore mode, and its trace of harness
// announcement("Tavix7") from 127.0.0.7.
constexpr char kExploreHead[] =
    "\nNo infut file switch to explore"
    "\nm_state: M_GET_IP-> M_WAIT_FOR_UDP_DATA";
constexpr char kParsed[] = "\nPharse data: data is KV:Data size: ";
constexpr char kAppTrace[] =
    "\nPharse data: data is KV:Data size: 42\n"
    "\nIP: 127.0.0.7 Port: 888 Name: Tavix7 No: 12345";

using Clock = std::chrono::steady_clock;

// A child process whose stdout and stderr go to files in a scratch folder.
class Proc {
public:
    Proc(const std::vector<std::string>& argv, const std::string& dir);
    ~Proc();  // kills the child if it still runs
    Proc(const Proc&) = delete;
    Proc& operator=(const Proc&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int sig) const;
    // Exit status, or -1000 - signal number; -1 when not ended within timeout_ms.
    int wait(int timeout_ms);
    bool running();
    std::string out() const;
    std::string err() const;
    // Polls stdout until it contains `text`; false after timeout_ms.
    bool wait_for_out(const std::string& text, int timeout_ms) const;

private:
    pid_t pid_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string out_path_, err_path_;
};

// A fresh scratch folder per test, removed at the end.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::string write(const std::string& name, const std::vector<uint8_t>& bytes) const;

private:
    std::string path_;
};

std::vector<uint8_t> announcement(const std::string& name, const std::string& serial = "12345",
                                  const uint8_t ip[4] = nullptr, uint16_t port = 888);
void send_udp(const std::vector<uint8_t>& datagram, uint16_t port = 11000);
// A busy network: count machines at 127.B.0.x (B from third_byte on, 250
// to a B), each announcing `name` once a second, spread evenly, each from
// its own address; UDP only, they take no connection. Serials 7000 + i.
class Crowd {
public:
    Crowd(int count, uint8_t third_byte, const std::string& name = "Tavix7");
    ~Crowd();
    Crowd(const Crowd&) = delete;
    Crowd& operator=(const Crowd&) = delete;
    static std::string address(int i, uint8_t third_byte);
    long sent() const { return sent_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0};
    std::thread thread_;
};
std::vector<uint8_t> random_bytes(size_t n, uint32_t seed);
std::string read_file(const std::string& path);

// One line of machine-sim's wire log: "t=<ms since its start> <event>".
struct Event {
    long t;
    std::string text;
};
std::vector<Event> read_log(const std::string& path);
// How many events start with `prefix`.
long count_events(const std::vector<Event>& log, const std::string& prefix);

// A stand-in machine on 127.0.0.7:888 that accepts connections and records,
// per connection, every byte with the time it arrived and when it closed.
class TcpRecorder {
public:
    struct Byte {
        uint8_t value;
        Clock::time_point at;
    };
    struct Conn {
        std::vector<Byte> bytes;
        Clock::time_point accepted, closed;
        bool is_closed = false;
    };
    explicit TcpRecorder(const char* addr = "127.0.0.7", uint16_t port = 888);
    ~TcpRecorder();
    std::vector<Conn> conns();
    bool wait_closed(size_t count, int timeout_ms);

private:
    void run();
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<Conn> conns_;
    std::thread thread_;
};

// lanflash's command line: the binary (or LANFLASH_BIN), behind the runner
// named by LANFLASH_RUNNER (an emulator such as wine) when that is set.
std::vector<std::string> lanflash_cmd(const std::vector<std::string>& args = {});
// Holds a UDP port, as another program would: a socket bound to it on any
// address, or -1. Close it with close().
int hold_udp_port(uint16_t port = 11000);
// Waits until some process of this namespace has bound UDP port 11000.
bool wait_udp_bound(int timeout_ms, uint16_t port = 11000);
std::string sim_bin();
int count_fds(pid_t pid);
long ms_between(Clock::time_point a, Clock::time_point b);

}  // namespace e2e
