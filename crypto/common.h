// Small helpers shared by the cryptographic cores: byte-order loads and
// stores, the panic type, and a wipe the optimiser cannot drop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>

// The attributes the cores need that MSVC spells its own way or lacks.
#if defined(_MSC_VER) && !defined(__clang__)
#define QUORLIX_NOINLINE __declspec(noinline)
#define QUORLIX_LAMBDA_ALWAYS_INLINE
#else
#define QUORLIX_NOINLINE [[gnu::noinline]]
#define QUORLIX_LAMBDA_ALWAYS_INLINE __attribute__((always_inline))
#endif

namespace quorlix {

////////////////////////////
/// Load / store helpers ///
////////////////////////////
inline constexpr uint32_t load32_be(const uint8_t* s) {
    return (uint32_t(s[0]) << 24) | (uint32_t(s[1]) << 16) | (uint32_t(s[2]) << 8) | uint32_t(s[3]);
}

inline constexpr uint64_t load64_be(const uint8_t* s) {
    return (uint64_t(load32_be(s)) << 32) | load32_be(s + 4);
}

inline constexpr void store32_be(uint8_t* out, uint32_t in) {
    out[0] = uint8_t(in >> 24);
    out[1] = uint8_t(in >> 16);
    out[2] = uint8_t(in >> 8);
    out[3] = uint8_t(in);
}

inline constexpr void store32_le(uint8_t* out, uint32_t in) {
    out[0] = uint8_t(in);
    out[1] = uint8_t(in >> 8);
    out[2] = uint8_t(in >> 16);
    out[3] = uint8_t(in >> 24);
}

inline constexpr void store64_be(uint8_t* out, uint64_t in) {
    store32_be(out, uint32_t(in >> 32));
    store32_be(out + 4, uint32_t(in));
}

//////////////
/// Result ///
//////////////
// Errors travel as values: a Result holds either the value or an error.
template <class E>
struct Err {
    E error;
};
template <class E>
Err(E) -> Err<E>;

template <class T, class E>
class [[nodiscard]] Result {
public:
    Result(T value) : v_(std::in_place_index<0>, std::move(value)) {}
    template <class F>
    Result(Err<F> e) : v_(std::in_place_index<1>, std::move(e.error)) {}

    bool ok() const noexcept { return v_.index() == 0; }
    explicit operator bool() const noexcept { return ok(); }
    T& value() & { return std::get<0>(v_); }
    T&& value() && { return std::get<0>(std::move(v_)); }
    const T& value() const& { return std::get<0>(v_); }
    E& error() & { return std::get<1>(v_); }
    E&& error() && { return std::get<1>(std::move(v_)); }
    const E& error() const& { return std::get<1>(v_); }

private:
    std::variant<T, E> v_;
};

template <class E>
class [[nodiscard]] Result<void, E> {
public:
    Result() = default;
    template <class F>
    Result(Err<F> e) : e_(std::move(e.error)) {}

    bool ok() const noexcept { return !e_.has_value(); }
    explicit operator bool() const noexcept { return ok(); }
    E& error() & { return *e_; }
    E&& error() && { return std::move(*e_); }
    const E& error() const& { return *e_; }

private:
    std::optional<E> e_;
};

//////////////
/// Panics ///
//////////////
// A broken internal invariant. Only the module's call frames catch it; it
// never derives from std::exception so no generic handler swallows it.
struct Panic {
    std::string message;
};

// Throws Panic: the call frame raises its message as PanicException, which
// is the whole report. Defined in common.cpp.
[[noreturn]] void panic(std::string message);

//////////////
/// Wiping ///
//////////////
// Zeroes a buffer through a volatile pointer followed by a compiler barrier,
// so the stores survive even when the buffer is freed right afterwards.
void wipe(void* buf, size_t len) noexcept;

// Wipes a buffer when the scope ends, however it ends (a return, an
// interruption, a panic), unless disarmed first.
class WipeOnExit {
public:
    WipeOnExit(void* buf, size_t len) noexcept : buf_(buf), len_(len) {}
    template <class T>
    explicit WipeOnExit(T& obj) noexcept : WipeOnExit(&obj, sizeof obj) {
        static_assert(std::is_trivially_copyable_v<T>, "only plain bytes can be wiped");
    }
    ~WipeOnExit() { wipe(buf_, len_); }
    WipeOnExit(const WipeOnExit&) = delete;
    WipeOnExit& operator=(const WipeOnExit&) = delete;

    void disarm() noexcept { len_ = 0; }

private:
    void* buf_;
    size_t len_;
};

////////////////////
/// Cancellation ///
////////////////////
// Asked between the steps of a long computation, every few dozen
// microseconds of work, whether to go on. When poll answers true the
// computation wipes what it holds and returns its Interrupted error. poll
// may also throw a Panic, which the computations let through. The default
// never stops anything.
struct Cancel {
    bool (*poll)(void* context) = nullptr;
    void* context = nullptr;

    bool requested() const { return poll != nullptr && poll(context); }
};

/////////////////////
/// Constant time ///
/////////////////////
// Returns v after a round trip through volatile memory in a function that is
// never inlined: the compiler cannot reason about the value across it.
uint8_t optimisation_barrier(uint8_t v) noexcept;

// Lengths first; then every byte is compared, with no early exit.
bool constant_time_eq(const uint8_t* a, size_t a_len, const uint8_t* b, size_t b_len) noexcept;

}  // namespace quorlix
