#include "harness.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace e2e {

static constexpr int kPollStepMs = 10;

Proc::Proc(const std::vector<std::string>& argv, const std::string& dir) {
    static int serial = 0;
    ++serial;
    out_path_ = dir + "/proc" + std::to_string(serial) + ".out";
    err_path_ = dir + "/proc" + std::to_string(serial) + ".err";
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int in = open("/dev/null", O_RDONLY);
        if (out < 0 || err < 0 || in < 0) _exit(127);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
}

Proc::~Proc() {
    if (!reaped_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    // In a sanitizer build a child's report fails the test, also where the
    // test never looks at the child's exit status.
    std::string err = read_file(err_path_);
    if (err.find("Sanitizer") != std::string::npos || err.find("runtime error:") != std::string::npos)
        ADD_FAILURE() << "sanitizer report from a child process:\n" << err;
}

void Proc::signal(int sig) const { kill(pid_, sig); }

int Proc::wait(int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!reaped_) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -1000 - WTERMSIG(st);
            break;
        }
        if (Clock::now() >= deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
    return status_;
}

bool Proc::running() { return wait(0) == -1; }

// A Windows program under its runner writes "\r\n" for every "\n", as it
// should on Windows; the tests compare the text as written on Linux.
static std::string as_written_on_linux(std::string text) {
    const char* runner = getenv("LANFLASH_RUNNER");
    if (!runner || !*runner) return text;
    size_t to = 0;
    for (size_t from = 0; from < text.size(); from++) {
        if (text[from] == '\r' && from + 1 < text.size() && text[from + 1] == '\n') continue;
        text[to++] = text[from];
    }
    text.resize(to);
    return text;
}

std::string Proc::out() const { return as_written_on_linux(read_file(out_path_)); }
std::string Proc::err() const { return as_written_on_linux(read_file(err_path_)); }

bool Proc::wait_for_out(const std::string& text, int timeout_ms) const {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (out().find(text) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
}

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/lanflash-e2e-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    if (getenv("LANFLASH_KEEP_SCRATCH")) return;
    std::string cmd = "rm -rf '" + path_ + "'";
    if (system(cmd.c_str()) != 0) fprintf(stderr, "could not remove %s\n", path_.c_str());
}

std::string ScratchDir::write(const std::string& name, const std::vector<uint8_t>& bytes) const {
    std::string p = file(name);
    std::ofstream f(p, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
}

std::vector<uint8_t> announcement(const std::string& name, const std::string& serial, const uint8_t ip[4],
                                  uint16_t port) {
    static const uint8_t sig[11] = {0x22, 0xEF, 0x44, 0x1A, 0x33, 0xE9, 0xF1, 0x34, 0x54, 0x9E, 0x78};
    static const uint8_t loop7[4] = {127, 0, 0, 7};
    if (!ip) ip = loop7;
    std::vector<uint8_t> d;
    for (uint8_t b : sig) d.push_back(b);
    for (int i = 0; i < 4; i++) d.push_back(ip[i]);
    for (uint8_t b : {255, 255, 255, 0}) d.push_back(b);
    for (uint8_t b : {0x02, 0x00, 0x00, 0x12, 0x34, 0x56}) d.push_back(b);
    d.push_back(static_cast<uint8_t>(port >> 8));
    d.push_back(static_cast<uint8_t>(port & 0xFF));
    d.insert(d.end(), name.begin(), name.end());
    d.push_back(0);
    d.push_back(0);
    d.push_back(0);
    d.insert(d.end(), serial.begin(), serial.end());
    d.push_back(0);
    return d;
}

// From `from` (network byte order; 0: the system's choice) through one socket.
static void send_from(int s, const std::vector<uint8_t>& datagram, uint16_t port, uint32_t from) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    iovec iov{const_cast<uint8_t*>(datagram.data()), datagram.size()};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
    msg.msg_name = &to;
    msg.msg_namelen = sizeof to;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    if (from != 0) {
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&msg);
        c->cmsg_level = IPPROTO_IP;
        c->cmsg_type = IP_PKTINFO;
        c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = from;
        memcpy(CMSG_DATA(c), &info, sizeof info);
    }
    if (sendmsg(s, &msg, 0) < 0) perror("sendmsg");
}

void send_udp(const std::vector<uint8_t>& datagram, uint16_t port) {
    static const uint8_t sig[11] = {0x22, 0xEF, 0x44, 0x1A, 0x33, 0xE9, 0xF1, 0x34, 0x54, 0x9E, 0x78};
    uint32_t from = 0;
    if (datagram.size() >= 15 && memcmp(datagram.data(), sig, sizeof sig) == 0 && datagram[11] == 127)
        memcpy(&from, datagram.data() + 11, sizeof from);
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    send_from(s, datagram, port, from);
    close(s);
}

Crowd::Crowd(int count, uint8_t third_byte, const std::string& name) : thread_([this, count, third_byte, name] {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    std::vector<std::vector<uint8_t>> datagrams;
    for (int i = 0; i < count; ++i) {
        const uint8_t ip[4] = {127, static_cast<uint8_t>(third_byte + i / 250), 0, static_cast<uint8_t>(1 + i % 250)};
        datagrams.push_back(announcement(name, std::to_string(7000 + i), ip));
    }
    const auto start = Clock::now();
    for (long k = 0; !stop_.load(); ++k) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(k * 1000000 / count));
        const std::vector<uint8_t>& d = datagrams[static_cast<size_t>(k % count)];
        uint32_t from;
        memcpy(&from, d.data() + 11, sizeof from);
        send_from(s, d, 11000, from);
        sent_.store(k + 1);
    }
    close(s);
}) {}

Crowd::~Crowd() {
    stop_.store(true);
    thread_.join();
}

std::string Crowd::address(int i, uint8_t third_byte) {
    return "127." + std::to_string(third_byte + i / 250) + ".0." + std::to_string(1 + i % 250);
}

std::vector<uint8_t> random_bytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<uint8_t> v(n);
    for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
    return v;
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

long count_events(const std::vector<Event>& log, const std::string& prefix) {
    return std::count_if(log.begin(), log.end(), [&](const Event& e) { return e.text.rfind(prefix, 0) == 0; });
}

std::vector<Event> read_log(const std::string& path) {
    std::vector<Event> events;
    std::istringstream in(read_file(path));
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("t=", 0) != 0) continue;
        size_t space = line.find(' ');
        events.push_back({std::stol(line.substr(2, space - 2)), line.substr(space + 1)});
    }
    return events;
}

TcpRecorder::TcpRecorder(const char* addr, uint16_t port) {
    listen_fd_ = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = inet_addr(addr);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listen_fd_, 8) != 0)
        throw std::runtime_error(std::string("recorder bind/listen: ") + strerror(errno));
    thread_ = std::thread([this] { run(); });
}

TcpRecorder::~TcpRecorder() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
}

void TcpRecorder::run() {
    std::vector<pollfd> fds{{listen_fd_, POLLIN, 0}};
    std::vector<size_t> index;  // conns_ index of fds[i + 1]
    while (!stop_) {
        if (poll(fds.data(), fds.size(), kPollStepMs) <= 0) continue;
        auto now = Clock::now();
        if (fds[0].revents & POLLIN) {
            int c = accept(listen_fd_, nullptr, nullptr);
            if (c >= 0) {
                std::lock_guard<std::mutex> lock(mu_);
                conns_.push_back(Conn{{}, now, now, false});
                fds.push_back({c, POLLIN, 0});
                index.push_back(conns_.size() - 1);
            }
        }
        for (size_t i = 1; i < fds.size();) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                ++i;
                continue;
            }
            uint8_t buf[4096];
            ssize_t n = recv(fds[i].fd, buf, sizeof buf, 0);
            std::lock_guard<std::mutex> lock(mu_);
            Conn& conn = conns_[index[i - 1]];
            if (n > 0) {
                for (ssize_t k = 0; k < n; k++) conn.bytes.push_back(Byte{buf[k], now});
                ++i;
            } else {
                conn.closed = now;
                conn.is_closed = true;
                close(fds[i].fd);
                fds.erase(fds.begin() + static_cast<long>(i));
                index.erase(index.begin() + static_cast<long>(i - 1));
            }
        }
    }
    for (size_t i = 1; i < fds.size(); i++) close(fds[i].fd);
}

std::vector<TcpRecorder::Conn> TcpRecorder::conns() {
    std::lock_guard<std::mutex> lock(mu_);
    return conns_;
}

bool TcpRecorder::wait_closed(size_t count, int timeout_ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mu_);
            size_t closed = 0;
            for (const Conn& c : conns_) closed += c.is_closed ? 1 : 0;
            if (closed >= count) return true;
        }
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
}

std::vector<std::string> lanflash_cmd(const std::vector<std::string>& args) {
    std::vector<std::string> cmd;
    const char* runner = getenv("LANFLASH_RUNNER");
    if (runner && *runner) cmd.push_back(runner);
    const char* bin = getenv("LANFLASH_BIN");
    cmd.push_back(bin && *bin ? bin : LANFLASH_BIN);
    cmd.insert(cmd.end(), args.begin(), args.end());
    return cmd;
}

int hold_udp_port(uint16_t port) {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(port);
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    if (s >= 0 && bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0) return s;
    if (s >= 0) close(s);
    return -1;
}

bool wait_udp_bound(int timeout_ms, uint16_t port) {
    char needle[16];
    snprintf(needle, sizeof needle, ":%04X ", port);
    auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        if (read_file("/proc/net/udp").find(needle) != std::string::npos) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollStepMs));
    }
}

std::string sim_bin() { return MACHINE_SIM_BIN; }

int count_fds(pid_t pid) {
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* d = opendir(dir.c_str());
    if (!d) return -1;
    int n = 0;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] != '.') n++;
    }
    closedir(d);
    return n;
}

long ms_between(Clock::time_point a, Clock::time_point b) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count());
}

}  // namespace e2e
