#include "vorp/threads.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <system_error>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <fmt/format.h>

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

namespace {
// Thread starts left before the injected failure (0: none injected). Read once per start.
std::atomic<std::size_t> thread_starts_before_failure{0};
}  // namespace

void fail_thread_start_after(std::size_t starts) {
    thread_starts_before_failure.store(starts == SIZE_MAX ? 0 : starts + 1, std::memory_order_relaxed);
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
    std::string start_failure;
    for (std::size_t started = 0; started < count; ++started) {
        try {
            if (thread_starts_before_failure.load(std::memory_order_relaxed) != 0 &&
                thread_starts_before_failure.fetch_sub(1, std::memory_order_relaxed) == 1)
                throw std::system_error(EAGAIN, std::generic_category(), "injected thread start failure");
            threads.emplace_back(run, started);
        } catch (const std::exception& error) {
            start_failure = error.what();
            break;
        } catch (...) {
            start_failure = "unknown error";
            break;
        }
    }
    for (std::thread& thread : threads) thread.join();
    // The phase's work was cut up for `count` threads: without all of them there is no result,
    // and none is made up on the calling thread behind the caller's back.
    if (!start_failure.empty())
        engine_panic(fmt::format("a worker thread could not be started ({} of {} running): {}", threads.size(), count,
                                 start_failure));
    if (std::ranges::find(status, PANICKED) != status.end()) engine_panic(std::string(panic_text));
    if (std::ranges::find(status, OUT_OF_MEMORY) != status.end()) throw std::bad_alloc();
}

}  // namespace vorp
