// Which model a machine is, from the name it announces, and which models a
// run is for (--model). An image is built for one model; nothing in it says
// which, so the user says it, and a machine of another model is left alone.
#pragma once

#include <cstdint>

enum Model : uint8_t { MODEL_NONE = 0, MODEL_T7 = 1, MODEL_T5S = 2 };
constexpr uint8_t kAnyModel = 0;  // no --model: every model is chosen

// Tavix7 and BootTavix7 are MODEL_T7, Tavix5S and BootTavix5s MODEL_T5S; a
// name field that begins with neither is MODEL_NONE.
Model ModelOfName(const char* name, int len);
const char* ModelText(Model model);  // "Tavix7", "Tavix5S", nullptr for none
// --model's value, in any case; false for anything else.
bool ParseModel(const char* text, Model* model);
// models: a set of (1 << Model), or kAnyModel.
inline bool ModelWanted(uint8_t models, Model model) { return models == kAnyModel || (models & (1u << model)) != 0; }
