#include "core/module.h"

namespace {
HMODULE g_module = nullptr;
}  // namespace

HMODULE module_handle() { return g_module; }

void set_module_handle(HMODULE module) { g_module = module; }
