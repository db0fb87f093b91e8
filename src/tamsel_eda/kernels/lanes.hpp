// Eight doubles as one value, for kernels that split their work into lanes
// explicitly: the code fixes what each lane computes, so the results do not
// depend on what the compiler vectorises or the machine it runs on (one
// AVX-512 register, two AVX2 ones, four SSE2 ones). Only element alignment is
// assumed: the standard allocator does not promise more.
#pragma once

#include <cstddef>
#include <cstring>

namespace tamsel::kernels {

typedef double v8 __attribute__((vector_size(64), aligned(8)));
constexpr std::size_t kLanes = 8;

// Eight doubles from memory aligned for one only.
inline __attribute__((always_inline)) void load8(v8& v, const double* p) { std::memcpy(&v, p, sizeof v); }

}  // namespace tamsel::kernels
