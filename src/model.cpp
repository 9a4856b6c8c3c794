// The models by the names their application and boot loader announce.
#include "model.h"

#include <cctype>
#include <cstring>

namespace {

struct Names {
    Model model;
    const char* application;
    const char* boot_loader;
};
const Names kModels[] = {{MODEL_T7, "Tavix7", "BootTavix7"}, {MODEL_T5S, "Tavix5S", "BootTavix5s"}};

bool BeginsWith(const char* name, int len, const char* text) {
    const int n = static_cast<int>(strlen(text));
    return len >= n && memcmp(name, text, static_cast<size_t>(n)) == 0;
}

}  // namespace

Model ModelOfName(const char* name, int len) {
    for (const Names& m : kModels)
        if (BeginsWith(name, len, m.boot_loader) || BeginsWith(name, len, m.application)) return m.model;
    return MODEL_NONE;
}

const char* ModelText(Model model) {
    for (const Names& m : kModels)
        if (m.model == model) return m.application;
    return nullptr;
}

bool ParseModel(const char* text, Model* model) {
    for (const Names& m : kModels) {
        const size_t n = strlen(m.application);
        if (strlen(text) != n) continue;
        size_t i = 0;
        while (i < n && tolower(static_cast<unsigned char>(text[i])) == tolower(static_cast<unsigned char>(m.application[i]))) ++i;
        if (i == n) {
            *model = m.model;
            return true;
        }
    }
    return false;
}
