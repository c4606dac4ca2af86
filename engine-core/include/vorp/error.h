// The engine's one error type, the result type every fallible operation returns, the internal
// failure path, and a mutex that remembers when a holder unwound through it.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <expected>
#include <filesystem>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace vorp {

// Stored in one byte; the numbering is visible to the Python layer.
// Interrupted is no failure of the engine's: the caller asked a long read to stop (interrupt.h).
enum class Category : std::uint8_t { Corrupt = 0, NotFound = 1, Capacity = 2, Io = 3, Invariant = 4, Interrupted = 5 };

// "corrupt", "not_found", "capacity", "io", "invariant", "interrupted".
std::string_view category_word(Category category);
// Debug form: "Corrupt", "NotFound", ...
std::string_view category_name(Category category);

inline constexpr std::string_view RESTORE_REMEDY =
    "restore the previous generation, or rebuild with `vorp replay` from the event log";
inline constexpr std::string_view ENGINE_BUG_REMEDY =
    "this is an engine bug; please report it with the store manifest";

struct Location {
    std::optional<std::filesystem::path> file;
    std::optional<std::uint64_t> offset;
    std::optional<std::uint32_t> row;
    bool operator==(const Location&) const = default;
};

struct EngineError {
    Category category = Category::Invariant;
    std::string message;
    Location location;
    std::optional<std::string> remedy;

    // Every corruption report carries RESTORE_REMEDY; every invariant report ENGINE_BUG_REMEDY.
    static EngineError corrupt(std::string message);
    static EngineError invariant(std::string message);
    static EngineError not_found(std::string message);
    static EngineError capacity(std::string message);
    // An I/O failure the I/O layer detects itself ("failed to write whole buffer").
    static EngineError io(std::string message);
    // A call abandoned at its caller's request: "interrupted: the call was interrupted".
    static EngineError interrupted();
    // An operating-system failure: "{strerror} (os error {errnum})".
    static EngineError from_errno(int errnum);
    // The errno of an `io` error made by from_errno (read back from its message), or nothing.
    std::optional<int> os_error_code() const;

    // Sets (or replaces) the file part of the location.
    EngineError at_file(const std::filesystem::path& path) &&;
    EngineError at_offset(std::uint64_t offset) &&;
    EngineError at_row(std::uint32_t row) &&;

    // The user-visible text: "word: message[ [file=.. offset=.. row=..]][ — remedy]".
    std::string display() const;
    // Diagnostics only: EngineError { category: Corrupt, message: "...", location: ..., remedy: ... }
    std::string debug() const;

    bool operator==(const EngineError&) const = default;
};

// Free-function form of EngineError::at_file, for use with transform_error.
EngineError at_file(EngineError error, const std::filesystem::path& path);

template <class T>
using Result = std::expected<T, EngineError>;
using Status = Result<void>;

inline Status ok() { return {}; }
inline std::unexpected<EngineError> fail(EngineError error) { return std::unexpected(std::move(error)); }

// Evaluates a Result-returning expression; on error returns the error from the enclosing function,
// otherwise yields the value (nothing for Result<void>).
#define VORP_TRY(...)                                                                   \
    ({                                                                                  \
        auto&& vorp_try_result_ = (__VA_ARGS__);                                        \
        if (!vorp_try_result_) [[unlikely]]                                             \
            return ::std::unexpected(::std::move(vorp_try_result_).error());            \
        ::std::move(vorp_try_result_).value();                                          \
    })

// Like VORP_TRY, but attaches a file to the error before returning it.
#define VORP_TRY_FILE(path, ...)                                                        \
    ({                                                                                  \
        auto&& vorp_try_result_ = (__VA_ARGS__);                                        \
        if (!vorp_try_result_) [[unlikely]]                                             \
            return ::std::unexpected(::std::move(vorp_try_result_).error().at_file(path)); \
        ::std::move(vorp_try_result_).value();                                          \
    })

// An internal failure: a state the code treats as impossible, or a poisoned mutex. It is thrown
// and caught only at the outermost layers (worker threads report its text; the Python layer
// raises it as an exception derived from BaseException).
struct EnginePanic : std::exception {
    std::string text;
    explicit EnginePanic(std::string text) : text(std::move(text)) {}
    const char* what() const noexcept override { return text.c_str(); }
};

[[noreturn]] void engine_panic(std::string text);

// std::uncaught_exceptions() without its cost on a thread that has never thrown: the C++ runtime
// keeps that count in thread-local storage which the C library, the runtime having been loaded
// after the program started (as under Python), allocates on the thread's first use and ends the
// process when it cannot. A thread whose storage is not there yet has no exception in flight, so 0
// is answered without touching it.
int exceptions_in_flight() noexcept;

// A mutex that marks itself poisoned when a guard is released while an exception unwinds through
// it; locking a poisoned mutex is an internal failure "{name} mutex poisoned".
class PoisonMutex {
public:
    explicit PoisonMutex(std::string name) : name_(std::move(name)) {}
    PoisonMutex(const PoisonMutex&) = delete;
    PoisonMutex& operator=(const PoisonMutex&) = delete;

    class Guard {
    public:
        Guard(Guard&& other) noexcept
            : owner_(std::exchange(other.owner_, nullptr)), unwinding_at_lock_(other.unwinding_at_lock_) {}
        Guard(const Guard&) = delete;
        Guard& operator=(const Guard&) = delete;
        Guard& operator=(Guard&&) = delete;
        ~Guard();

    private:
        friend class PoisonMutex;
        explicit Guard(PoisonMutex* owner) : owner_(owner), unwinding_at_lock_(exceptions_in_flight()) {}
        // Unlocks at once and leaves the mutex as it is, whatever is unwinding.
        void unlock_unpoisoned() noexcept;
        PoisonMutex* owner_;
        int unwinding_at_lock_;
    };

    // Locks; a poisoned mutex panics with "{poison_name} mutex poisoned" (the mutex's own name
    // when none is given: some callers word the same mutex differently).
    Guard lock();
    Guard lock(std::string_view poison_name);
    // Locks whether or not the mutex is poisoned. Only for structures whose every change under the
    // lock cannot fail part-way (so poison can never mean a half-made change), and for code that
    // only gives back what it holds, such as a destructor, which must not throw.
    Guard lock_even_if_poisoned() noexcept;
    // Runs `body()` under the lock (taken as lock() takes it) and returns its result. For sections
    // written so that an allocation failing anywhere in them leaves the guarded structure as it
    // was, or in an equally valid state (allocate before the first change, or build aside and move
    // in): a std::bad_alloc leaving `body` then passes to the caller with the mutex unpoisoned, so
    // one out-of-memory does not strand the structure. Any other exception, a panic above all,
    // poisons it as with lock().
    template <class Body>
    decltype(auto) with_lock(Body&& body) {
        return with_lock(name_, std::forward<Body>(body));
    }
    template <class Body>
    decltype(auto) with_lock(std::string_view poison_name, Body&& body) {
        Guard guard = lock(poison_name);
        try {
            return std::forward<Body>(body)();
        } catch (const std::bad_alloc&) {
            guard.unlock_unpoisoned();
            throw;
        }
    }
    bool poisoned() const { return poisoned_.load(std::memory_order_acquire); }
    const std::string& name() const { return name_; }

private:
    std::mutex mutex_;
    std::atomic<bool> poisoned_{false};
    std::string name_;
};

}  // namespace vorp
