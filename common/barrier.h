// Compiler barriers that keep a timed kernel between its two clock readings.
//
// The clock calls are opaque to the compiler, but data the compiler can prove private (stack
// arrays whose address never escapes, statics never passed out) may still be computed
// before the first reading, after the second, or not at all when only a few results are
// printed. A kernel is pinned by making its arrays escape before the first reading
// (escape), and by a full memory clobber right after the first reading and right before the
// second (clobber): every store of the kernel must then happen between the two.
// These emit no instructions.
#pragma once

namespace ks {

// The pointed-to memory may be read or written by "someone else" from here on.
inline void escape(const void* p) {
  asm volatile("" : : "g"(p) : "memory");
}

// All memory may have been read or written here: no load or store moves across.
inline void clobber() {
  asm volatile("" : : : "memory");
}

// The value must be materialised here and may have changed afterwards.
template <class T>
inline void keep(T& value) {
  asm volatile("" : "+m,r"(value) : : "memory");
}

}  // namespace ks
