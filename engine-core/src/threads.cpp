#include "vorp/threads.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "vorp/error.h"

namespace vorp {

std::size_t scan_threads() {
    const std::optional<std::uint64_t> parsed = env_count(SCAN_THREADS_ENV);
    if (parsed && *parsed != 0) return static_cast<std::size_t>(std::min<std::uint64_t>(*parsed, MAX_SCAN_THREADS));
    const long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (online <= 0) return 1;
    return std::min(static_cast<std::size_t>(online), DEFAULT_SCAN_THREADS_CAP);
}

bool parallel_gate(std::size_t threads, std::size_t items, std::size_t min_items, std::uint64_t rows) {
    if (threads < PARALLEL_MIN_THREADS) return false;
    if (items < min_items) return false;
    const std::uint64_t minimum = env_count(PARALLEL_MIN_ROWS_ENV).value_or(DEFAULT_PARALLEL_MIN_ROWS);
    return rows >= minimum;
}

void fan_out(std::size_t count, std::string_view panic_text, const std::function<void(std::size_t)>& work) {
    // One status byte per worker, each written by its own worker only and read after the joins.
    enum : unsigned char { DONE = 0, PANICKED = 1, OUT_OF_MEMORY = 2 };
    std::vector<unsigned char> status(count, DONE);
    const auto run = [&](std::size_t index) noexcept {
        try {
            work(index);
        } catch (const std::bad_alloc&) {
            status[index] = OUT_OF_MEMORY;
        } catch (...) {
            status[index] = PANICKED;
        }
    };
    std::vector<std::thread> threads;
    threads.reserve(count);
    std::size_t started = 0;
    for (; started < count; ++started) {
        try {
            threads.emplace_back(run, started);
        } catch (...) {
            break;  // no more threads to be had: the caller's thread does the rest
        }
    }
    for (std::size_t index = started; index < count; ++index) run(index);
    for (std::thread& thread : threads) thread.join();
    if (std::ranges::find(status, PANICKED) != status.end()) engine_panic(std::string(panic_text));
    if (std::ranges::find(status, OUT_OF_MEMORY) != status.end()) throw std::bad_alloc();
}

}  // namespace vorp
