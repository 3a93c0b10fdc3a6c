#pragma once
// One non-copyable owner per Win32 handle kind. Each closes its handle with the matching call.
#include <windows.h>

#include <memory>
#include <utility>

template <typename T, auto Close, auto Invalid = nullptr>
class UniqueResource {
  public:
    UniqueResource() = default;
    explicit UniqueResource(T value) : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    T get() const { return value_; }
    explicit operator bool() const { return value_ != InvalidValue(); }
    T release() { return std::exchange(value_, InvalidValue()); }
    void reset(T value = InvalidValue()) {
        T old = std::exchange(value_, value);
        if (old != InvalidValue()) Close(old);
    }
    // For out-parameters: frees the current value and hands out the slot.
    T* put() {
        reset();
        return &value_;
    }

  private:
    static T InvalidValue() {
        if constexpr (std::is_same_v<decltype(Invalid), std::nullptr_t>)
            return T{};
        else
            return reinterpret_cast<T>(Invalid);
    }
    T value_ = InvalidValue();
};

namespace handle_detail {
inline void CloseHandleIgnoringResult(HANDLE h) { ::CloseHandle(h); }
inline void FindCloseIgnoringResult(HANDLE h) { ::FindClose(h); }
inline void DestroyWindowIgnoringResult(HWND h) { ::DestroyWindow(h); }
inline void DestroyIconIgnoringResult(HICON h) { ::DestroyIcon(h); }
inline void DeleteObjectIgnoringResult(HGDIOBJ h) { ::DeleteObject(h); }
inline void FreeLibraryIgnoringResult(HMODULE h) { ::FreeLibrary(h); }
inline void UnmapViewIgnoringResult(void* p) { ::UnmapViewOfFile(p); }
inline void DestroyMenuIgnoringResult(HMENU h) { ::DestroyMenu(h); }
inline void DeleteDCIgnoringResult(HDC h) { ::DeleteDC(h); }
}  // namespace handle_detail

using unique_handle = UniqueResource<HANDLE, handle_detail::CloseHandleIgnoringResult>;
// CreateFileW and FindFirstFileW report failure as INVALID_HANDLE_VALUE, not null.
using unique_file = UniqueResource<HANDLE, handle_detail::CloseHandleIgnoringResult, -1>;
using unique_find = UniqueResource<HANDLE, handle_detail::FindCloseIgnoringResult, -1>;
using unique_hwnd = UniqueResource<HWND, handle_detail::DestroyWindowIgnoringResult>;
using unique_hicon = UniqueResource<HICON, handle_detail::DestroyIconIgnoringResult>;
using unique_gdi = UniqueResource<HGDIOBJ, handle_detail::DeleteObjectIgnoringResult>;
using unique_hmodule = UniqueResource<HMODULE, handle_detail::FreeLibraryIgnoringResult>;
using unique_view = UniqueResource<void*, handle_detail::UnmapViewIgnoringResult>;
using unique_hmenu = UniqueResource<HMENU, handle_detail::DestroyMenuIgnoringResult>;
using unique_hdc = UniqueResource<HDC, handle_detail::DeleteDCIgnoringResult>;
