// Shared data that cannot be reached without its lock: the only way in is
// lock(), whose handle holds the mutex for as long as it lives.
#pragma once

#include <mutex>

namespace qv {

template <class T>
class LockGuarded {
public:
    template <class... Args>
    explicit LockGuarded(Args&&... args) : value_(static_cast<Args&&>(args)...) {}

    class Handle {
    public:
        Handle(std::mutex& m, T& v) : lock_(m), value_(&v) {}
        T* operator->() { return value_; }
        T& operator*() { return *value_; }

    private:
        std::unique_lock<std::mutex> lock_;
        T* value_;
    };
    Handle lock() { return Handle(mutex_, value_); }

private:
    std::mutex mutex_;
    T value_;
};

}  // namespace qv
