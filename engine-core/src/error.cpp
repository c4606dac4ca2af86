#include "vorp/error.h"

#include <dlfcn.h>
#include <link.h>

#include <cstring>

#include <fmt/format.h>

#include "vorp/text.h"

namespace vorp {

std::string_view category_word(Category category) {
    switch (category) {
        case Category::Corrupt: return "corrupt";
        case Category::NotFound: return "not_found";
        case Category::Capacity: return "capacity";
        case Category::Io: return "io";
        case Category::Invariant: return "invariant";
        case Category::Interrupted: return "interrupted";
    }
    return "invariant";
}

std::string_view category_name(Category category) {
    switch (category) {
        case Category::Corrupt: return "Corrupt";
        case Category::NotFound: return "NotFound";
        case Category::Capacity: return "Capacity";
        case Category::Io: return "Io";
        case Category::Invariant: return "Invariant";
        case Category::Interrupted: return "Interrupted";
    }
    return "Invariant";
}

namespace {
EngineError make(Category category, std::string message, std::optional<std::string_view> remedy) {
    EngineError error;
    error.category = category;
    error.message = std::move(message);
    if (remedy) error.remedy = std::string(*remedy);
    return error;
}
}  // namespace

EngineError EngineError::corrupt(std::string message) { return make(Category::Corrupt, std::move(message), RESTORE_REMEDY); }
EngineError EngineError::invariant(std::string message) { return make(Category::Invariant, std::move(message), ENGINE_BUG_REMEDY); }
EngineError EngineError::not_found(std::string message) { return make(Category::NotFound, std::move(message), std::nullopt); }
EngineError EngineError::capacity(std::string message) { return make(Category::Capacity, std::move(message), std::nullopt); }
EngineError EngineError::io(std::string message) { return make(Category::Io, std::move(message), std::nullopt); }
EngineError EngineError::interrupted() {
    return make(Category::Interrupted, "the call was interrupted", std::nullopt);
}

EngineError EngineError::from_errno(int errnum) {
    char buffer[256];
    // GNU strerror_r may return a static string instead of filling the buffer.
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    const char* text = strerror_r(errnum, buffer, sizeof buffer);
#else
    const char* text = strerror_r(errnum, buffer, sizeof buffer) == 0 ? buffer : "Unknown error";
#endif
    return io(fmt::format("{} (os error {})", text, errnum));
}

std::optional<int> EngineError::os_error_code() const {
    static constexpr std::string_view marker = " (os error ";
    if (category != Category::Io || !message.ends_with(')')) return std::nullopt;
    const std::size_t at = message.rfind(marker);
    if (at == std::string::npos) return std::nullopt;
    const std::string_view digits =
        std::string_view(message).substr(at + marker.size(), message.size() - 1 - at - marker.size());
    if (digits.empty() || digits.size() > 9) return std::nullopt;
    int code = 0;
    for (const char digit : digits) {
        if (digit < '0' || digit > '9') return std::nullopt;
        code = code * 10 + (digit - '0');
    }
    return code;
}

EngineError EngineError::at_file(const std::filesystem::path& path) && {
    location.file = path;
    return std::move(*this);
}
EngineError EngineError::at_offset(std::uint64_t offset) && {
    location.offset = offset;
    return std::move(*this);
}
EngineError EngineError::at_row(std::uint32_t row) && {
    location.row = row;
    return std::move(*this);
}

EngineError at_file(EngineError error, const std::filesystem::path& path) { return std::move(error).at_file(path); }

std::string EngineError::display() const {
    std::string out;
    out.reserve(message.size() + 32 + (remedy ? remedy->size() : 0));
    out.append(category_word(category));
    out.append(": ");
    out.append(message);
    if (location.file || location.offset || location.row) {
        out.append(" [");
        bool first = true;
        auto sep = [&] {
            if (!first) out.push_back(' ');
            first = false;
        };
        if (location.file) {
            sep();
            out.append("file=");
            out.append(lossy_utf8(location.file->native()));
        }
        if (location.offset) {
            sep();
            out.append(fmt::format("offset={}", *location.offset));
        }
        if (location.row) {
            sep();
            out.append(fmt::format("row={}", *location.row));
        }
        out.push_back(']');
    }
    if (remedy) {
        out.append(" \u2014 ");
        out.append(*remedy);
    }
    return out;
}

std::string EngineError::debug() const {
    auto opt_text = [](const std::optional<std::string>& value) {
        return value ? fmt::format("Some({})", debug_quoted(*value)) : std::string("None");
    };
    std::string file = location.file ? fmt::format("Some({})", debug_quoted(lossy_utf8(location.file->native()))) : "None";
    std::string offset = location.offset ? fmt::format("Some({})", *location.offset) : "None";
    std::string row = location.row ? fmt::format("Some({})", *location.row) : "None";
    return fmt::format(
        "EngineError {{ category: {}, message: {}, location: Location {{ file: {}, offset: {}, row: {} }}, remedy: {} }}",
        category_name(category), debug_quoted(message), file, offset, row, opt_text(remedy));
}

void engine_panic(std::string text) { throw EnginePanic(std::move(text)); }

namespace {
// The loaded object that holds the runtime's exception count (the one defining
// std::uncaught_exceptions), or null when the C library cannot say.
void* exception_runtime() noexcept {
    static void* const runtime = [] {
        Dl_info info{};
        void* map = nullptr;
        int (*count)() noexcept = &std::uncaught_exceptions;
        if (::dladdr1(reinterpret_cast<void*>(count), &info, &map, RTLD_DL_LINKMAP) == 0) return static_cast<void*>(nullptr);
        // An object without thread-local storage of its own keeps the count elsewhere: no shortcut.
        std::size_t module = 0;
        if (map == nullptr || ::dlinfo(map, RTLD_DI_TLS_MODID, &module) != 0 || module == 0)
            return static_cast<void*>(nullptr);
        return map;
    }();
    return runtime;
}
}  // namespace

int exceptions_in_flight() noexcept {
    void* const runtime = exception_runtime();
    if (runtime != nullptr) {
        // This thread's block of the runtime's thread-local storage, null until it is allocated;
        // asking allocates nothing.
        void* block = nullptr;
        if (::dlinfo(runtime, RTLD_DI_TLS_DATA, &block) == 0 && block == nullptr) return 0;
    }
    return std::uncaught_exceptions();
}

PoisonMutex::Guard::~Guard() {
    if (!owner_) return;
    if (exceptions_in_flight() > unwinding_at_lock_) owner_->poisoned_.store(true, std::memory_order_release);
    owner_->mutex_.unlock();
}

void PoisonMutex::Guard::unlock_unpoisoned() noexcept {
    if (!owner_) return;
    std::exchange(owner_, nullptr)->mutex_.unlock();
}

PoisonMutex::Guard PoisonMutex::lock() { return lock(name_); }

PoisonMutex::Guard PoisonMutex::lock_even_if_poisoned() noexcept {
    mutex_.lock();
    return Guard(this);
}

PoisonMutex::Guard PoisonMutex::lock(std::string_view poison_name) {
    mutex_.lock();
    if (poisoned_.load(std::memory_order_acquire)) {
        mutex_.unlock();
        engine_panic(fmt::format("{} mutex poisoned", poison_name));
    }
    return Guard(this);
}

}  // namespace vorp
