// The watchers of a run's news.
#include "news.h"

namespace {

constexpr int kWatchers = 8;
NewsWatcher watchers[kWatchers];
int count = 0;

}  // namespace

void NewsWatch(NewsWatcher watcher) {
    if (count < kWatchers) watchers[count++] = watcher;
}

void NewsTell(const News& n) {
    for (int i = 0; i < count; ++i) watchers[i](n);
}

void NewsClear(void) { count = 0; }
