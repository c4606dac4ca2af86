#include "vorp/simd.h"

#include <atomic>

#include "vorp/env.h"

namespace vorp {
namespace {

bool cpu_has_avx2() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2");
}

bool disabled_by_environment() { return env_flag("VORP_NO_SIMD"); }

std::atomic<bool>& forced_scalar() {
    static std::atomic<bool> forced{disabled_by_environment()};
    return forced;
}

}  // namespace

bool simd_kernels_active() {
    static const bool supported = cpu_has_avx2();
    return supported && !forced_scalar().load(std::memory_order_relaxed);
}

void force_scalar_kernels(bool scalar) { forced_scalar().store(scalar, std::memory_order_relaxed); }

}  // namespace vorp
