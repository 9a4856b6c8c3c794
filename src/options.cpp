// Command-line options. Pure: nothing is opened, printed or bound here, so
// that a usage error leaves no trace but its message.
#include "options.h"

#include <cstdio>
#include <cstring>

#include "machlist.h"
#include "model.h"
#include "text.h"

namespace {

constexpr uint32_t kMaxTimeoutS = 2000000;  // ~23 days; keeps milliseconds in 32 bits

enum OptionId {
    OPT_MACHINE,
    OPT_MACHINES,
    OPT_SERIAL,
    OPT_ALL,
    OPT_EXIT,
    OPT_TIMEOUT,
    OPT_JOBS,
    OPT_LOG_DIR,
    OPT_REPORT,
    OPT_WORKER,
    OPT_FAST,
    OPT_RETRIES,
    OPT_MODEL,
    OPT_CANARY,
    OPT_MAX_FAILED,
    OPT_PLAN,
    OPT_STATION,
    OPT_AGAIN,
    OPT_SERVE,
    OPT_HELP,
    OPT_VERSION
};

struct OptionName {
    const char* name;
    OptionId id;
    bool takes_value;
};

const OptionName kOptionNames[] = {
    {"--machine", OPT_MACHINE, true}, {"--machines", OPT_MACHINES, true}, {"--serial", OPT_SERIAL, true},
    {"--all", OPT_ALL, false},        {"--exit", OPT_EXIT, false},         {"--timeout", OPT_TIMEOUT, true},
    {"--jobs", OPT_JOBS, true},       {"--log-dir", OPT_LOG_DIR, true},    {"--report", OPT_REPORT, true},
    {"--retries", OPT_RETRIES, true}, {"--fast", OPT_FAST, false},         {"--worker", OPT_WORKER, false},
    {"--model", OPT_MODEL, true},     {"--canary", OPT_CANARY, true},      {"--max-failed", OPT_MAX_FAILED, true},
    {"--plan", OPT_PLAN, false},      {"--help", OPT_HELP, false},         {"--version", OPT_VERSION, false},
    {"-h", OPT_HELP, false},
    {"--help", OPT_HELP, false},      {"--version", OPT_VERSION, false},
    {"--station", OPT_STATION, true}, {"--again", OPT_AGAIN, false},       {"--serve", OPT_SERVE, true},
};

// The option `arg` names, with its "=value" part in *inline_value.
const OptionName* FindOption(const char* arg, const char** inline_value) {
    for (const OptionName& o : kOptionNames) {
        size_t n = strlen(o.name);
        if (strncmp(arg, o.name, n) != 0) continue;
        if (arg[n] == '\0') {
            *inline_value = nullptr;
            return &o;
        }
        if (arg[n] == '=') {
            *inline_value = arg + n + 1;
            return &o;
        }
    }
    return nullptr;
}

// Edits (a letter added, dropped or changed) from a to b, at most limit + 1.
size_t Distance(const char* a, size_t na, const char* b, size_t nb, size_t limit) {
    if (na > nb + limit || nb > na + limit) return limit + 1;
    size_t row[64];
    if (nb >= sizeof row / sizeof row[0]) return limit + 1;
    for (size_t j = 0; j <= nb; ++j) row[j] = j;
    for (size_t i = 1; i <= na; ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= nb; ++j) {
            const size_t above = row[j];
            const size_t same = (a[i - 1] | 0x20) == (b[j - 1] | 0x20) ? 0 : 1;
            size_t best = diagonal + same;
            if (above + 1 < best) best = above + 1;
            if (row[j - 1] + 1 < best) best = row[j - 1] + 1;
            row[j] = best;
            diagonal = above;
        }
    }
    return row[nb];
}

// "unknown option '--tiemout' (did you mean --timeout?)": the option a typo
// most likely meant, when one is close.
void Unknown(const char* arg, char* why, size_t why_len) {
    const char* eq = strchr(arg, '=');
    const size_t n = eq != nullptr ? static_cast<size_t>(eq - arg) : strlen(arg);
    const OptionName* best = nullptr;
    size_t best_distance = 3;  // more edits than this is another word
    for (const OptionName& o : kOptionNames) {
        if (o.id == OPT_WORKER || strlen(o.name) < 3) continue;  // internal, or too short to guess
        const size_t d = Distance(arg, n, o.name, strlen(o.name), best_distance);
        if (d < best_distance) {
            best_distance = d;
            best = &o;
        }
    }
    if (best != nullptr) {
        snprintf(why, why_len, "unknown option '%s' (did you mean %s?)", arg, best->name);
    } else {
        snprintf(why, why_len, "unknown option '%s'", arg);
    }
}

// Whether the line holds one of our options: then options may stand after
// IMAGE too. Without any, what follows IMAGE is ignored, as it always was.
bool AnyOption(int argc, char** argv) {
    for (int i = 1; i < argc && strcmp(argv[i], "--") != 0; ++i) {
        const char* value = nullptr;
        if (argv[i][0] == '-' && FindOption(argv[i], &value) != nullptr) return true;
    }
    return false;
}

}  // namespace

// Rules between options, once all of them are read.
static CommandLine CheckCombination(const LanflashOptions& o, bool jobs_given, int image, char* why, size_t why_len) {
    if (jobs_given && !o.all) {
        snprintf(why, why_len, "--jobs: only with --all");
        return CL_USAGE_ERROR;
    }
    if (o.canary != 0 && !o.all) {
        snprintf(why, why_len, "--canary: only with --all");
        return CL_USAGE_ERROR;
    }
    if (o.max_failed != 0 && !o.all) {
        snprintf(why, why_len, "--max-failed: only with --all");
        return CL_USAGE_ERROR;
    }
    if (o.log_dir != nullptr && !o.all) {
        snprintf(why, why_len, "--log-dir: only with --all");
        return CL_USAGE_ERROR;
    }
    if (o.log_dir != nullptr && o.jobs == 1) {
        snprintf(why, why_len, "--log-dir: only with --jobs greater than 1 (with --jobs 1 the trace goes to standard output)");
        return CL_USAGE_ERROR;
    }
    if (o.plan && o.log_dir != nullptr) {
        snprintf(why, why_len, "--log-dir: --plan connects to no machine, so there is nothing to log");
        return CL_USAGE_ERROR;
    }
    if (o.log_dir != nullptr && image == 0) {
        snprintf(why, why_len, "--log-dir: nothing to log without IMAGE");
        return CL_USAGE_ERROR;
    }
    // Nothing in an image says which model it is for: sent to every machine
    // that answers, it would reach the other model too.
    if (o.all && image != 0 && o.models == kAnyModel) {
        snprintf(why, why_len, "an image is for one model: with --all and IMAGE, name it with --model Tavix7 or --model Tavix5S");
        return CL_USAGE_ERROR;
    }
    if (o.again && o.station == nullptr) {
        snprintf(why, why_len, "--again: only with --station");
        return CL_USAGE_ERROR;
    }
    if (o.station != nullptr && image == 0) {
        snprintf(why, why_len, "--station: nothing to record without IMAGE");
        return CL_USAGE_ERROR;
    }
    return CL_RUN;
}

// --serve PORT or ADDRESS:PORT; loopback unless an address is given, so
// that the page is not on the network by surprise.
static bool ParseServe(const char* value, LanflashOptions* o) {
    const char* colon = strrchr(value, ':');
    uint32_t addr = 0;
    (void)ParseDottedQuad("127.0.0.1", &addr);
    if (colon != nullptr) {
        char text[16];
        const size_t n = static_cast<size_t>(colon - value);
        if (n == 0 || n >= sizeof text) return false;
        memcpy(text, value, n);
        text[n] = '\0';
        if (!ParseDottedQuad(text, &addr)) return false;
    }
    uint64_t port = 0;
    if (!ParseDecimal(colon != nullptr ? colon + 1 : value, 5, &port) || port == 0 || port > 65535) return false;
    o->serve = true;
    o->serve_addr = addr;
    o->serve_port = static_cast<uint16_t>(port);
    return true;
}

CommandLine ParseCommandLine(int argc, char** argv, LanflashOptions* opts, int* image, char* why,
                             size_t why_len) {
    *opts = LanflashOptions{};
    MachineListClear();
    *image = 0;
    bool jobs_given = false;
    const bool options_anywhere = AnyOption(argc, argv);
    bool options_ended = false;
    int extra = 0;  // an argument behind IMAGE that is no option
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (!options_ended && strcmp(arg, "--") == 0) {
            options_ended = true;
            continue;
        }
        if (options_ended || arg[0] != '-' || arg[1] == '\0') {
            if (*image == 0) {
                *image = i;
                if (!options_anywhere) break;
            } else if (extra == 0) {
                extra = i;
            }
            continue;
        }
        const char* value = nullptr;
        const OptionName* o = FindOption(arg, &value);
        if (o == nullptr) {
            Unknown(arg, why, why_len);
            return CL_USAGE_ERROR;
        }
        if (!o->takes_value && value != nullptr) {
            snprintf(why, why_len, "option '%s' takes no value", o->name);
            return CL_USAGE_ERROR;
        }
        if (o->id == OPT_HELP) return CL_HELP;
        if (o->id == OPT_VERSION) return CL_VERSION;
        if (o->takes_value && value == nullptr) {
            if (i + 1 >= argc) {
                snprintf(why, why_len, "option '%s' needs a value", o->name);
                return CL_USAGE_ERROR;
            }
            value = argv[++i];
        }
        opts->any = true;
        uint64_t number = 0;
        switch (o->id) {
        case OPT_MACHINE:
            if (!MachineListAddAddress(value, why, why_len)) return CL_USAGE_ERROR;
            break;
        case OPT_SERIAL:
            if (!MachineListAddSerial(value, why, why_len)) return CL_USAGE_ERROR;
            break;
        case OPT_MACHINES:
            if (value[0] == '\0') {
                snprintf(why, why_len, "%s: the name is empty", o->name);
                return CL_USAGE_ERROR;
            }
            MachineListAddFile(value);
            break;
        case OPT_TIMEOUT:
            if (!ParseDecimal(value, 10, &number) || number == 0 || number > kMaxTimeoutS) {
                snprintf(why, why_len, "--timeout: '%s' is not a positive whole number of seconds (at most %u)",
                         value, static_cast<unsigned>(kMaxTimeoutS));
                return CL_USAGE_ERROR;
            }
            opts->timeout_s = static_cast<uint32_t>(number);
            opts->exit = true;
            break;
        case OPT_JOBS:
            if (!ParseDecimal(value, 4, &number) || number == 0 || number > kMaxJobs) {
                snprintf(why, why_len, "--jobs: '%s' is not a whole number from 1 to %u", value,
                         static_cast<unsigned>(kMaxJobs));
                return CL_USAGE_ERROR;
            }
            opts->jobs = static_cast<uint32_t>(number);
            jobs_given = true;
            break;
        case OPT_LOG_DIR:
        case OPT_REPORT:
            if (value[0] == '\0') {
                snprintf(why, why_len, "%s: the name is empty", o->name);
                return CL_USAGE_ERROR;
            }
            (o->id == OPT_LOG_DIR ? opts->log_dir : opts->report) = value;
            break;
        case OPT_WORKER:
            opts->worker = true;
            break;
        case OPT_RETRIES:
            if (!ParseDecimal(value, 2, &number) || number > kMaxRetries) {
                snprintf(why, why_len, "--retries: '%s' is not a whole number from 0 to %u", value,
                         static_cast<unsigned>(kMaxRetries));
                return CL_USAGE_ERROR;
            }
            opts->retries = static_cast<uint32_t>(number);
            break;
        case OPT_FAST:
            opts->fast = true;
            break;
        case OPT_MODEL: {
            Model model = MODEL_NONE;
            if (!ParseModel(value, &model)) {
                snprintf(why, why_len, "--model: '%s' is not Tavix7 or Tavix5S", value);
                return CL_USAGE_ERROR;
            }
            opts->models = static_cast<uint8_t>(opts->models | 1u << model);
            break;
        }
        case OPT_CANARY:
        case OPT_MAX_FAILED: {
            const uint32_t most = o->id == OPT_CANARY ? kMaxCanary : kMaxFailedLimit;
            if (!ParseDecimal(value, 7, &number) || number == 0 || number > most) {
                snprintf(why, why_len, "%s: '%s' is not a whole number from 1 to %u", o->name, value,
                         static_cast<unsigned>(most));
                return CL_USAGE_ERROR;
            }
            (o->id == OPT_CANARY ? opts->canary : opts->max_failed) = static_cast<uint32_t>(number);
            break;
        }
        case OPT_STATION:
            if (value[0] == '\0') {
                snprintf(why, why_len, "%s: the name is empty", o->name);
                return CL_USAGE_ERROR;
            }
            opts->station = value;
            break;
        case OPT_AGAIN:
            opts->again = true;
            break;
        case OPT_SERVE:
            if (!ParseServe(value, opts)) {
                snprintf(why, why_len, "--serve: '%s' is not PORT or ADDRESS:PORT (an IPv4 address, a port from 1 to 65535)", value);
                return CL_USAGE_ERROR;
            }
            break;
        case OPT_ALL:
            opts->all = true;
            break;
        case OPT_EXIT:
            opts->exit = true;
            break;
        case OPT_PLAN:
            opts->plan = true;
            break;
        case OPT_HELP:
        case OPT_VERSION:
            break;
        }
    }
    // With options, a second path or an address behind IMAGE was meant
    // for something: dropped without a word, the image would go where it
    // was not meant to.
    if (opts->any && extra != 0) {
        snprintf(why, why_len, "'%s' comes after IMAGE; there is one IMAGE (options may stand before or after it)",
                 argv[extra]);
        return CL_USAGE_ERROR;
    }
    return CheckCombination(*opts, jobs_given, *image, why, why_len);
}
