// A callable kept in place: the kernel's timers and Kernel::At callbacks are set and fired
// thousands of times an exchange (a simulated line sets one or two for every character), and a
// std::function of a lambda that captures more than two pointers goes to the heap every time.
// A callable of up to `Bytes` is stored in the object itself; a larger one is boxed on the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace lmscr::kernel {

template <size_t Bytes>
class InlineCallback {
public:
    InlineCallback() = default;
    InlineCallback(const InlineCallback&) = delete;
    InlineCallback& operator=(const InlineCallback&) = delete;
    InlineCallback(InlineCallback&& other) noexcept {
        if (!other.Empty()) TakeFrom(other);
    }
    ~InlineCallback() { Reset(); }

    // A callable of a few pointers (most of the line's callbacks): moved by copying its bytes,
    // with nothing to destroy.
    template <class T>
    static constexpr bool kPlain = sizeof(T) <= Bytes && alignof(T) <= alignof(std::max_align_t) &&
                                   std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>;
    template <class T>
    static void InvokeAs(void* p) {
        (*static_cast<T*>(p))();
    }

    // Only into an empty one.
    template <class F>
    void Emplace(F&& f) {
        using T = std::decay_t<F>;
        if constexpr (kPlain<T>) {
            new (storage_) T(std::forward<F>(f));
            invoke_ = &InvokeAs<T>;
        } else if constexpr (sizeof(T) <= Bytes && alignof(T) <= alignof(std::max_align_t) &&
                             std::is_nothrow_move_constructible_v<T>) {
            new (storage_) T(std::forward<F>(f));
            invoke_ = [](void* p) { (*static_cast<T*>(p))(); };
            destroy_ = [](void* p) { static_cast<T*>(p)->~T(); };
            move_ = [](void* to, void* from) {
                new (to) T(std::move(*static_cast<T*>(from)));
                static_cast<T*>(from)->~T();
            };
        } else {
            T* boxed = new T(std::forward<F>(f));
            new (storage_) T*(boxed);
            invoke_ = [](void* p) { (**static_cast<T**>(p))(); };
            destroy_ = [](void* p) { delete *static_cast<T**>(p); };
            move_ = [](void* to, void* from) { new (to) T*(*static_cast<T**>(from)); };
        }
    }

    // Moves the callable of `other` (which is left empty) into this empty one; `other` may be a
    // smaller one (a kernel timer's slot takes a Kernel::At callable as it is).
    template <size_t Other>
        requires(Other <= Bytes)
    void TakeFrom(InlineCallback<Other>& other) noexcept {
        if (other.move_)
            other.move_(storage_, other.storage_);
        else
            std::memcpy(storage_, other.storage_, Other);
        invoke_ = std::exchange(other.invoke_, nullptr);
        destroy_ = std::exchange(other.destroy_, nullptr);
        move_ = std::exchange(other.move_, nullptr);
    }
    // The bytes of a plain callable (see kPlain) and what runs it, into an empty one.
    void EmplaceBytes(void (*invoke)(void*), const void* bytes, size_t size) {
        std::memcpy(storage_, bytes, size);
        invoke_ = invoke;
    }
    // The same for one of up to two words, handed over in registers.
    void EmplaceWords(void (*invoke)(void*), uint64_t first, uint64_t second) {
        std::memcpy(storage_, &first, sizeof first);
        std::memcpy(storage_ + sizeof first, &second, sizeof second);
        invoke_ = invoke;
    }
    void Invoke() { invoke_(storage_); }
    bool Empty() const { return invoke_ == nullptr; }
    void Reset() {
        invoke_ = nullptr;
        if (!destroy_) return;
        auto destroy = destroy_;
        destroy_ = nullptr;
        move_ = nullptr;
        destroy(storage_);
    }

private:
    template <size_t>
    friend class InlineCallback;

    alignas(std::max_align_t) unsigned char storage_[Bytes];
    void (*invoke_)(void*) = nullptr;
    void (*destroy_)(void*) = nullptr;
    void (*move_)(void*, void*) = nullptr;
};

}  // namespace lmscr::kernel
