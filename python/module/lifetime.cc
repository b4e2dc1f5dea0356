#include "lifetime.h"

#include <cstddef>

namespace quandrel::py {
namespace {

// A handful of slots: the module, its three types and its exception class.
constexpr std::size_t kMaxSlots = 16;
PyObject** g_slots[kMaxSlots];
std::size_t g_count = 0;

}  // namespace

void forget_at_finalization(PyObject** slot) {
  for (std::size_t i = 0; i < g_count; ++i) {
    if (g_slots[i] == slot) return;
  }
  // Only ever called with the lock held, for the few slots the module keeps.
  if (g_count < kMaxSlots) g_slots[g_count++] = slot;
}

void forget_interpreter_objects() {
  for (std::size_t i = 0; i < g_count; ++i) *g_slots[i] = nullptr;
}

}  // namespace quandrel::py
