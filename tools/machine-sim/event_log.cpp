#include "event_log.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>

namespace {

const auto kStart = std::chrono::steady_clock::now();
bool g_to_stdout = false;
std::FILE* g_file = nullptr;
const char* g_tag = nullptr;

void WriteLine(std::FILE* out, std::int64_t t, const char* format, va_list args) {
  std::fprintf(out, "t=%lld ", static_cast<long long>(t));
  if (g_tag != nullptr) std::fprintf(out, "%s ", g_tag);
  std::vfprintf(out, format, args);
  std::fputc('\n', out);
  std::fflush(out);
}

}  // namespace

std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                               kStart)
      .count();
}

bool OpenEventLog(bool to_stdout, const char* path) {
  g_to_stdout = to_stdout;
  if (path != nullptr) {
    g_file = std::fopen(path, "w");
    if (g_file == nullptr) return false;
  }
  return true;
}

void SetLogTag(const char* tag) { g_tag = tag; }

void LogEvent(const char* format, ...) {
  const std::int64_t t = NowMs();
  va_list args;
  if (g_to_stdout) {
    va_start(args, format);
    WriteLine(stdout, t, format, args);
    va_end(args);
  }
  if (g_file != nullptr) {
    va_start(args, format);
    WriteLine(g_file, t, format, args);
    va_end(args);
  }
}
