// Run-time choice between the vector kernels (AVX2, picked when the CPU has it) and the portable
// scalar ones. Both produce identical results; the scalar path is kept as the fallback for CPUs
// without AVX2 and can be forced, for the whole process with the environment variable
// VORP_NO_SIMD=1 (read once, at first use), or by a test through force_scalar_kernels().
#pragma once

namespace vorp {

// True when the vector kernels run: the CPU supports AVX2 and neither VORP_NO_SIMD nor
// force_scalar_kernels(true) turned them off.
bool simd_kernels_active();

// Forces the scalar kernels (true) or returns to the run-time choice (false). For tests and
// benchmarks that compare the two paths; not meant to be flipped while other threads decode.
void force_scalar_kernels(bool scalar);

}  // namespace vorp
