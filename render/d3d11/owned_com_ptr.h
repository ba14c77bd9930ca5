#pragma once
// A Direct3D interface pointer with an ownership flag. Several holders may point at one
// interface while exactly one of them owns it (a texture whose linear and sRGB views are
// the same view keeps the pointer in both slots and the reference in one).
//
//   OwnedComPtr<ID3D11ShaderResourceView> linear, srgb;
//   device->CreateShaderResourceView(texture, &desc, linear.put());
//   srgb.take_from(linear);   // srgb owns the view, linear still points at it
//   linear.reset();           // releases nothing: linear does not own it
//
// Resetting or destroying releases the interface only when owned and not null. Not
// thread-safe; owners guard their holders.

#include "foundation/types.h"

namespace tallow::render::d3d11 {

template <typename T> class OwnedComPtr {
  public:
    OwnedComPtr() = default;
    ~OwnedComPtr() { reset(); }
    OwnedComPtr(const OwnedComPtr &) = delete;
    OwnedComPtr &operator=(const OwnedComPtr &) = delete;
    OwnedComPtr(OwnedComPtr &&other) noexcept : _pointer(other._pointer), _owned(other._owned)
    {
        other._pointer = nullptr;
        other._owned = true;
    }
    OwnedComPtr &operator=(OwnedComPtr &&other) noexcept
    {
        if (this != &other) {
            reset();
            _pointer = other._pointer;
            _owned = other._owned;
            other._pointer = nullptr;
            other._owned = true;
        }
        return *this;
    }

    T *get() const { return _pointer; }
    T *operator->() const { return _pointer; }
    bool is_owned() const { return _owned; }
    explicit operator bool() const { return _pointer != nullptr; }

    /// Releases the held interface (when owned) and returns the slot to {null, owned}.
    void reset()
    {
        if (_owned && _pointer)
            _pointer->Release();
        _pointer = nullptr;
        _owned = true;
    }

    /// Releases what is held and hands out the slot for a creation call to fill.
    T **put()
    {
        reset();
        return &_pointer;
    }

    /// Takes `source`'s pointer and its ownership; `source` keeps the pointer without
    /// owning it. The old interface here is released when owned and different.
    void take_from(OwnedComPtr &source)
    {
        if (&source == this)
            return;
        if (_owned && _pointer && _pointer != source._pointer)
            _pointer->Release();
        _pointer = source._pointer;
        _owned = source._owned;
        source._owned = false;
    }

  private:
    T *_pointer = nullptr;
    bool _owned = true;
};

} // namespace tallow::render::d3d11
